// Localised messages: CErrorMessageId, the number of a message in the product's message
// catalogue (subsystem byte << 24 | 24-bit index); CErrorMessage, an id with a text; and
// the loader of the catalogue library, which turns ids into texts in the user's language.
//
// The ids and messages are plain values owned by one thread at a time.
//
// The catalogue library is loaded on first use and kept by this library until
// deleteLocaleMessagesSingleton(); the pointers the loader returns belong to it and are
// valid until then. The loader may be called from any thread at once.
// deleteLocaleMessagesSingleton() must not race with a thread still using a pointer it
// returned: the code it points into goes away.
//
// Where the catalogue is found: the file named by the environment variable
// KY_MESSAGE_CATALOG when it is set (an absolute path; a relative one is refused, so
// that a catalogue can never come from the current directory), otherwise the platform's
// form of "EvMsgLoc_C" ("libEvMsgLoc_C.so") where the dynamic loader searches.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

class CHbLibrary;

class CErrorMessageId {
public:
    static constexpr std::uint32_t kIndexMask = 0x00FFFFFF;
    static constexpr int kSubSystemShift = 24;

    CErrorMessageId() = default;
    // From the whole word; not explicit, since a word and an id are one thing.
    CErrorMessageId(std::uint32_t id) : m_id(id) {}
    // From a subsystem and an index (only its low 24 bits are kept).
    CErrorMessageId(unsigned char subSystem, unsigned int index) { messageId(subSystem, index); }

    // Sets the id and returns its word. An index wider than 24 bits is cut to 24, so that
    // it cannot change the subsystem.
    std::uint32_t messageId(unsigned char subSystem, unsigned int index) {
        m_id = (static_cast<std::uint32_t>(subSystem) << kSubSystemShift) | (index & kIndexMask);
        return m_id;
    }
    std::uint32_t messageId() const { return m_id; }
    unsigned char subSystemId() const {
        return static_cast<unsigned char>(m_id >> kSubSystemShift);
    }
    unsigned int index() const { return m_id & kIndexMask; }

    friend bool operator==(const CErrorMessageId& a, const CErrorMessageId& b) {
        return a.m_id == b.m_id;
    }
    friend bool operator!=(const CErrorMessageId& a, const CErrorMessageId& b) { return !(a == b); }
    friend bool operator==(const CErrorMessageId& a, std::uint32_t word) { return a.m_id == word; }
    friend bool operator!=(const CErrorMessageId& a, std::uint32_t word) { return a.m_id != word; }
    friend bool operator==(std::uint32_t word, const CErrorMessageId& a) { return a.m_id == word; }
    friend bool operator!=(std::uint32_t word, const CErrorMessageId& a) { return a.m_id != word; }

private:
    std::uint32_t m_id = 0;
};

class CErrorMessage {
public:
    CErrorMessage() = default;
    explicit CErrorMessage(const CErrorMessageId& id, const std::string& text = std::string())
        : m_id(id), m_text(text) {}

    const CErrorMessageId& getMessageId() const { return m_id; }
    void setMessageId(const CErrorMessageId& id) { m_id = id; }
    const std::string& getText() const { return m_text; }
    void setText(const std::string& text) { m_text = text; }

private:
    CErrorMessageId m_id;
    std::string m_text;
};

// The catalogue's text function: fills `buffer` (of `size` bytes) with the text of the
// message `id`, its inserts taken from `args`, and returns the text. `reserved` is
// handed to the catalogue as the caller gives it.
using EvGetLocTextVAArgsFn = const char* (*)(unsigned long id, char* buffer, unsigned int size,
                                             unsigned long reserved, va_list args);

// The catalogue library, loaded on first use; null when it cannot be loaded (a later call
// tries again).
const CHbLibrary* getLocaleMessagesSingleton();

// The catalogue's "EvGetLocTextVAArgs" function, looked up once; null when the library
// or the function is missing: callers then use their own untranslated text.
EvGetLocTextVAArgsFn getEvGetLocTextVAArgs();

// Unloads the catalogue library and forgets the function taken from it.
void deleteLocaleMessagesSingleton();
