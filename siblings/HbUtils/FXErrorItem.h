// Error items: one frame of a CHbError's chain, telling where the error was made or
// passed on and, for the item that made it, what went wrong.
//
// FXErrorItem is the base that other libraries derive their own items from; its virtual
// operations come in this order: destructor, AsString(EErrorOutputFormat) (short form),
// AsString() (long form), Clone(). The base item holds only its location, and its long
// form is the location text, "File.cpp(42) Class::method", so that a derived item can
// append to it ("File.cpp(42) Class::method/MM.5"). A derived class that overrides one
// AsString should bring the other into scope (using FXErrorItem::AsString).
//
// Items are immutable once made; CHbError shares them between copies through
// boost::shared_ptr, which is why Clone() returns one. Safe to read from several threads.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

#include "siblings/HbUtils/FXCodeLocation.h"

// What a short form is for.
enum EErrorOutputFormat {
    eErrorOutputFull = 0,         // everything: the long form
    eErrorOutputCode = 1,         // the code alone, e.g. "Error (Win32.2)"
    eErrorOutputDescription = 2,  // the description with the code, e.g. "No file (Win32.2)"
};

class FXErrorItem {
public:
    explicit FXErrorItem(const FXCodeLocation& location);
    virtual ~FXErrorItem();

    virtual std::string AsString(EErrorOutputFormat format) const;
    virtual std::string AsString() const;
    virtual boost::shared_ptr<FXErrorItem> Clone() const;

    const FXCodeLocation& GetLocation() const { return m_location; }

private:
    FXCodeLocation m_location;
};

// A frame with a text: what a caller adds when it passes an error on with a remark.
// Long form "<location>-<text>"; short forms: the text.
class FXErrorItemText : public FXErrorItem {
public:
    FXErrorItemText(const FXCodeLocation& location, const std::string& text);

    using FXErrorItem::AsString;
    std::string AsString(EErrorOutputFormat format) const override;
    std::string AsString() const override;
    boost::shared_ptr<FXErrorItem> Clone() const override;

    const std::string& GetText() const { return m_text; }

private:
    std::string m_text;
};

// The frame that made an error from a Win32 code, a plain integer or an HRESULT.
// Long form "<location>/<family>.<code>" followed by "-<text>" when there is a text; a
// Win32 item ends with the system's text of the code in brackets. Short forms: format 1
// "Error (<family>.<code>)"; format 2 "<text> (<family>.<code>)" (the format 1 form when
// there is no text); format 0 and any other the long form. The families read "Win32",
// "Int" and "HRESULT"; an HRESULT is shown in hexadecimal.
class FXErrorItemCode : public FXErrorItem {
public:
    enum ECodeFamily { eWin32, eInt, eHResult };

    FXErrorItemCode(const FXCodeLocation& location, ECodeFamily family, std::int32_t code,
                    const std::string& text);

    using FXErrorItem::AsString;
    std::string AsString(EErrorOutputFormat format) const override;
    std::string AsString() const override;
    boost::shared_ptr<FXErrorItem> Clone() const override;

    ECodeFamily GetFamily() const { return m_family; }
    std::int32_t GetCode() const { return m_code; }
    const std::string& GetText() const { return m_text; }

private:
    std::string CodeText() const;

    ECodeFamily m_family;
    std::int32_t m_code;
    std::string m_text;
};
