// CHbError: the result of an operation that can fail, as a value. Success() is the
// non-error; an error holds a signed 32-bit code and a chain of error items, the first
// made where the error arose and one more for each caller that passed it on with Push().
//
// Codes: a Win32 code is carried as itself (2 for "file not found"), an HRESULT and a
// plain integer likewise; FXErrorUtil::GetMatches() says which codes count as equal, so
// that Is(2) also holds for an error carrying HRESULT_FROM_WIN32(2). An error never
// carries code 0: a maker given 0 (a failed call that set no code) carries E_FAIL, so
// that a failure can never read as success.
//
// Copies share the items (they never change once made) and not the chain: pushing onto a
// copy leaves the original as it was. A value belongs to one thread at a time; copies
// may go to other threads.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "siblings/HbUtils/FXCodeLocation.h"
#include "siblings/HbUtils/FXErrorItem.h"

class CHbError {
public:
    // Success.
    CHbError() = default;
    // An error with `code` (E_FAIL when 0) and its first item (none when null).
    CHbError(std::int32_t code, const boost::shared_ptr<FXErrorItem>& item);

    static CHbError Success() { return CHbError(); }

    bool IsError() const { return m_code != 0; }
    // Whether the code counts as equal to `code` (FXErrorUtil::GetMatches).
    // Success().Is(0) holds.
    bool Is(std::int32_t code) const;
    bool IsNot(std::int32_t code) const { return !Is(code); }
    std::int32_t GetErrorCode() const { return m_code; }

    // "Success", or "Error <code> (0x<code>): " and the long forms of the items, first
    // item first, separated by " | ".
    std::string AsString() const;

    // Adds a frame for the caller passing the error on, and returns this value so that
    // "return err.Push(FX_LOCATION(...));" reads naturally. On a success value they do
    // nothing: success has no frames, and a push must not turn it into an error.
    CHbError& Push(const FXCodeLocation& location);
    CHbError& Push(const FXCodeLocation& location, const std::string& text);
    // Adds a copy (Clone()) of the item.
    CHbError& Push(const FXErrorItem& item);

    const std::vector<boost::shared_ptr<FXErrorItem>>& GetItems() const { return m_items; }

private:
    std::int32_t m_code = 0;
    std::vector<boost::shared_ptr<FXErrorItem>> m_items;
};
