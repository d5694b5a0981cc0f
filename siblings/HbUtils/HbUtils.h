// The utility library: every public header of HbUtils.
#pragma once
