#include <cstdio>

#include "tools/kybasic/Commands.h"

namespace kybasic {

int runDemo(int, char**) {
    std::printf("kybasic demo\n");
    return 0;
}

}  // namespace kybasic
