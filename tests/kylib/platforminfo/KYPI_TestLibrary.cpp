// A library for the KYPI_Library tests to load: a gateway registration entry point.
#include <cstring>

extern "C" __attribute__((visibility("default"))) int kypi_test_registration(char* buffer,
                                                                             int size) {
    static const char kText[] = "gateway-registration";
    if (size < static_cast<int>(sizeof kText))
        return -1;
    std::memcpy(buffer, kText, sizeof kText);
    return static_cast<int>(sizeof kText) - 1;
}
