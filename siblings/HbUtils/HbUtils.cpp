#include "siblings/HbUtils/HbUtils.h"
