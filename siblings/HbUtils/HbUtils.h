// The utility library: every public header of HbUtils.
#pragma once

#include "siblings/HbUtils/AutoHandles.h"
#include "siblings/HbUtils/CHbError.h"
#include "siblings/HbUtils/CHbLibrary.h"
#include "siblings/HbUtils/CHbLogger.h"
#include "siblings/HbUtils/CTimeStamp.h"
#include "siblings/HbUtils/FXCodeLocation.h"
#include "siblings/HbUtils/FXErrorItem.h"
#include "siblings/HbUtils/FXErrorUtil.h"
#include "siblings/HbUtils/FXFile.h"
#include "siblings/HbUtils/FXNamedMutex.h"
#include "siblings/HbUtils/FXPath.h"
#include "siblings/HbUtils/FXRegistry.h"
#include "siblings/HbUtils/FXString.h"
#include "siblings/HbUtils/HbBase64.h"
#include "siblings/HbUtils/HbSleep.h"
#include "siblings/HbUtils/LogWriter.h"
