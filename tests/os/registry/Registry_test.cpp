#include "os/registry/Registry.h"

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"
