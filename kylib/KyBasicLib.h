// KyBasicLib: every public header of the library and of the sibling libraries it
// exposes, for callers that want them all.
#pragma once

#include "kylib/concurrency/KyKernelSync.h"
#include "kylib/concurrency/KySync.h"
#include "kylib/concurrency/KyThread.h"
#include "kylib/concurrency/KyThreadAnnotations.h"
#include "kylib/crypto/CGuidFactory.h"
#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycBlockCipher.h"
#include "kylib/crypto/KycBucket.h"
#include "kylib/crypto/KycBuiltinKeys.h"
#include "kylib/crypto/KycChecksum.h"
#include "kylib/crypto/KycCipher.h"
#include "kylib/crypto/KycHash.h"
#include "kylib/crypto/KycKeyWrap.h"
#include "kylib/crypto/KycRSA.h"
#include "kylib/crypto/KycScrambler.h"
#include "kylib/crypto/KycTwister.h"
#include "kylib/crypto/Kycl.h"
#include "kylib/crypto/SecureString.h"
#include "kylib/diagnostics/CError.h"
#include "kylib/diagnostics/CErrorMessage.h"
#include "kylib/diagnostics/ErrorMM.h"
#include "kylib/diagnostics/EvDebug.h"
#include "kylib/diagnostics/KyException.h"
#include "kylib/platforminfo/KYPlatformInfo.h"
#include "os/Handle.h"
#include "os/LastError.h"
#include "os/System.h"
#include "os/Utf.h"
#include "os/Win32.h"
#include "os/registry/Registry.h"
#include "siblings/HbUtils/HbUtils.h"
#include "siblings/KyFocus/KYPI_Focus.h"

// The library's version, as "major.minor.patch".
extern "C" const char* KyBasicLibVersion();
