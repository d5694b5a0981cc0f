#include <kylib/KyBasicLib.h>

#include <cstdio>
#include <cstring>

int main() {
    HKEY key = nullptr;
    DWORD rc = kyos::reg::createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Consumer", 0, KEY_ALL_ACCESS, &key, nullptr);
    if (rc != ERROR_SUCCESS) return 1;
    DWORD v = 42, size = sizeof v;
    kyos::reg::setValue(key, "answer", REG_DWORD, &v, sizeof v);
    v = 0;
    kyos::reg::queryValue(key, "answer", nullptr, &v, &size);
    kyos::reg::closeKey(key);
    std::printf("%s %s %lu\n", KyBasicLibVersion(), KYPI_Focus::getFocus(), static_cast<unsigned long>(v));
    return v == 42 ? 0 : 1;
}
