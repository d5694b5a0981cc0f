// Counts the process's heap allocations (operator new), so that a benchmark can show how
// many a call makes.
#pragma once

long allocationCount();
