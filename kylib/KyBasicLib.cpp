#include "kylib/KyBasicLib.h"

extern "C" const char* KyBasicLibVersion() { return "11.0.0"; }
