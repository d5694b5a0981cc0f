#pragma once

// Message digests and their keyed form (HMAC) over the crypto module: MD5, SHA-1,
// SHA-256 and SHA-512. A hasher with an empty key computes the plain digest; setKey with
// a non-empty key switches it to HMAC under that key (kept in a bucket that wipes
// itself), and an empty key switches it back. Feed data with addData, then finish; call
// reset() before reusing an object for a new message.
//
// Constructing a hasher loads the module on first use (Kycl::init). Every failure throws
// KyException. A hasher is used by one thread at a time and is not copied.
//
// The one-call digests (Kyc::md5, sha1, sha256, sha512) need no object: each thread keeps
// one module context per algorithm for them, reset before every message and given back to
// the module when the thread ends.

#include "kycl/kycl.h"
#include "kylib/crypto/KycBucket.h"

class KycHash {
public:
    explicit KycHash(int digestSize);
    virtual ~KycHash();

    KycHash(const KycHash&) = delete;
    KycHash& operator=(const KycHash&) = delete;

    // Starts a new message: HMAC under the key when one is set, else the plain digest.
    virtual void reset() = 0;
    virtual void addData(const void* data, int len) = 0;

    // Stores the key (empty: plain digest) and starts a new message.
    void setKey(const KycBucket& key);
    void setKey(const void* key, int len);

    void addData(const KycBucket& data);

    // The digest of the message fed since the last reset.
    KycBucket finish();
    // Writes exactly getDigestSize() bytes to `out`; `size` smaller than that throws and
    // writes nothing.
    void finish(void* out, int size);

    int getDigestSize() const { return digestSize; }

protected:
    virtual void _finish(void* out, int size) = 0;

    const KycBucket& getKey() const { return key; }

private:
    KycBucket key;
    int digestSize;
};

namespace kyc_detail {
struct HashEntries;
// Gives the module back the contexts the calling thread keeps for the one-call digests
// (Kyc::sha256 and the others). Kycl's thread-exit callback calls it; any thread may, at
// any time: the next one-call digest on the thread makes a new context.
void releaseThreadDigests() noexcept;
}  // namespace kyc_detail

// What the four digests share: the module context and the entry points of one algorithm.
class KycModuleHash : public KycHash {
public:
    ~KycModuleHash() override;

    void reset() override;
    void addData(const void* data, int len) override;
    using KycHash::addData;

protected:
    explicit KycModuleHash(const kyc_detail::HashEntries& entries);

    void _finish(void* out, int size) override;

private:
    const kyc_detail::HashEntries& entries;
    kycl_ctx* handle = nullptr;
};

class KycMD5 : public KycModuleHash {
public:
    KycMD5();
};

class KycSHA1 : public KycModuleHash {
public:
    KycSHA1();
};

class KycSHA256 : public KycModuleHash {
public:
    KycSHA256();
};

class KycSHA512 : public KycModuleHash {
public:
    KycSHA512();
};
