// A module for the CHbLibrary tests to load at run time.
extern "C" __attribute__((visibility("default"))) int hbutils_test_answer() {
    return 42;
}
