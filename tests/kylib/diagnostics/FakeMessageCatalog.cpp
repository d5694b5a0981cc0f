// A stand-in for the product's message catalogue library, loaded by the loader's tests
// through KY_MESSAGE_CATALOG. Its text function renders the id, the caller's extra word
// and two inserts ("%s %d"), so a test can see every argument arrive. Built a second
// time without the function, for the case of a catalogue that lacks it.
#include <cstdarg>
#include <cstdio>

#ifndef KYTEST_CATALOG_WITHOUT_TEXT_FUNCTION
extern "C" __attribute__((visibility("default"))) const char* EvGetLocTextVAArgs(
    unsigned long id, char* buffer, unsigned int size, unsigned long reserved, va_list args) {
    char inserts[128];
    std::vsnprintf(inserts, sizeof inserts, "%s %d", args);
    std::snprintf(buffer, size, "message 0x%08lX (%lu): %s", id, reserved, inserts);
    return buffer;
}
#endif

// Something to export either way, so that both builds are ordinary libraries.
extern "C" __attribute__((visibility("default"))) int KyTestFakeCatalogVersion() {
    return 1;
}
