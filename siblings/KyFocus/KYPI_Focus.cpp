#include "siblings/KyFocus/KYPI_Focus.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

namespace {

struct Text {
    bool present = false;
    std::string value;
};

struct FocusState {
    // Each answer points into `texts`, which never frees or moves its strings: callers
    // keep the pointers they were given for the life of the process, as they could with
    // the fixed buffers of the original library. A text is kept once however often it is
    // set, so the set grows with the distinct texts only, not with every setter call.
    const std::string *instance = nullptr, *product = nullptr, *client = nullptr,
                      *pseudoClient = nullptr, *remoteDomain = nullptr;
    KELBRIN_PRODUCT_TYPE productType = KELBRIN_PRODUCT_TYPE_DEFAULT;
    int service = 0;
    std::set<std::string> texts;
};

std::mutex g_mutex;
FocusState* g_state = nullptr;

Text fromEnv(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    if (v != nullptr)
        return {true, v};
    if (fallback != nullptr)
        return {true, fallback};
    return {};
}

std::string hostName() {
    char buf[HOST_NAME_MAX + 1] = {};
    if (gethostname(buf, sizeof buf - 1) != 0)
        return "localhost";
    return buf;
}

int intFromEnv(const char* name) {
    const char* v = std::getenv(name);
    return v ? static_cast<int>(std::strtol(v, nullptr, 10)) : 0;
}

// Points `slot` at the stored copy of `next` (null when absent), storing it first when
// no answer has had that text before.
void assign(FocusState& s, const std::string*& slot, const Text& next) {
    slot = next.present ? &*s.texts.insert(next.value).first : nullptr;
}

Text clientFromEnv() {
    Text t = fromEnv("KY_CLIENT_NAME", nullptr);
    return t.present ? t : Text{true, hostName()};
}

void loadLocked(FocusState& s) {
    assign(s, s.instance, fromEnv("KY_INSTANCE", "Instance001"));
    assign(s, s.product, fromEnv("KY_PRODUCT_NAME", "Sarvex"));
    assign(s, s.client, clientFromEnv());
    assign(s, s.pseudoClient, fromEnv("KY_PSEUDO_CLIENT", nullptr));
    assign(s, s.remoteDomain, fromEnv("KY_REMOTE_DOMAIN", ""));
    s.productType = static_cast<KELBRIN_PRODUCT_TYPE>(intFromEnv("KY_PRODUCT_TYPE"));
    s.service = intFromEnv("KY_SERVICE");
}

FocusState& stateLocked() {
    if (g_state == nullptr) {
        g_state = new FocusState;  // never freed: pointers into it outlive static destruction
        loadLocked(*g_state);
    }
    return *g_state;
}

using Slot = const std::string* FocusState::*;

const char* read(Slot field) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::string* t = stateLocked().*field;
    return t ? t->c_str() : nullptr;
}

}  // namespace

const char* KYPI_Focus::getFocus() {
    return read(&FocusState::instance);
}
const char* KYPI_Focus::getFocusClientName(bool) {
    return read(&FocusState::client);
}
const char* KYPI_Focus::getFocusPseudoClientName() {
    return read(&FocusState::pseudoClient);
}
const char* KYPI_Focus::getRemoteTesselFocus() {
    return read(&FocusState::remoteDomain);
}
const char* KYPI_Focus::getProductName() {
    return read(&FocusState::product);
}

KELBRIN_PRODUCT_TYPE KYPI_Focus::getProductType() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return stateLocked().productType;
}

int KYPI_Focus::AmIAService() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return stateLocked().service;
}

void KYPI_Focus::doCrashThisProcess(bool, const char* reason) {
    std::fprintf(stderr, "%s: ending the process: %s\n", "KYPI_Focus::doCrashThisProcess",
                 reason ? reason : "the installation focus is missing");
    std::fflush(stderr);
    std::abort();
}

namespace {
void setText(Slot field, const char* value, Text (*fromEnvironment)()) {
    std::lock_guard<std::mutex> lock(g_mutex);
    FocusState& s = stateLocked();
    assign(s, s.*field, value ? Text{true, value} : fromEnvironment());
}
}  // namespace

void KYPI_Focus::setFocus(const char* v) {
    setText(&FocusState::instance, v, [] { return fromEnv("KY_INSTANCE", "Instance001"); });
}
void KYPI_Focus::setFocusClientName(const char* v) {
    setText(&FocusState::client, v, clientFromEnv);
}
void KYPI_Focus::setFocusPseudoClientName(const char* v) {
    setText(&FocusState::pseudoClient, v, [] { return fromEnv("KY_PSEUDO_CLIENT", nullptr); });
}
void KYPI_Focus::setRemoteTesselFocus(const char* v) {
    setText(&FocusState::remoteDomain, v, [] { return fromEnv("KY_REMOTE_DOMAIN", ""); });
}
void KYPI_Focus::setProductName(const char* v) {
    setText(&FocusState::product, v, [] { return fromEnv("KY_PRODUCT_NAME", "Sarvex"); });
}

void KYPI_Focus::setProductType(KELBRIN_PRODUCT_TYPE type) {
    std::lock_guard<std::mutex> lock(g_mutex);
    stateLocked().productType = type;
}

void KYPI_Focus::setAmIAService(int service) {
    std::lock_guard<std::mutex> lock(g_mutex);
    stateLocked().service = service;
}

void KYPI_Focus::reload() {
    std::lock_guard<std::mutex> lock(g_mutex);
    loadLocked(stateLocked());
}
