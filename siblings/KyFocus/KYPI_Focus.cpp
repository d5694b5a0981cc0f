#include "siblings/KyFocus/KYPI_Focus.h"

#include <unistd.h>

#include <atomic>
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
    // The answers are atomics, changed under g_mutex and read without it: every store
    // object asks for the instance and the product name when it is made.
    std::atomic<const std::string*> instance{nullptr}, product{nullptr}, client{nullptr},
        pseudoClient{nullptr}, remoteDomain{nullptr};
    std::atomic<KELBRIN_PRODUCT_TYPE> productType{KELBRIN_PRODUCT_TYPE_DEFAULT};
    std::atomic<int> service{0};
    std::set<std::string> texts;  // g_mutex
};

std::mutex g_mutex;
std::atomic<FocusState*> g_state{nullptr};

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
// no answer has had that text before. With g_mutex held.
void assign(FocusState& s, std::atomic<const std::string*>& slot, const Text& next) {
    slot.store(next.present ? &*s.texts.insert(next.value).first : nullptr,
               std::memory_order_release);
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
    s.productType.store(static_cast<KELBRIN_PRODUCT_TYPE>(intFromEnv("KY_PRODUCT_TYPE")),
                        std::memory_order_relaxed);
    s.service.store(intFromEnv("KY_SERVICE"), std::memory_order_relaxed);
}

// With g_mutex held.
FocusState& stateLocked() {
    FocusState* s = g_state.load(std::memory_order_relaxed);
    if (s == nullptr) {
        s = new FocusState;  // never freed: pointers into it outlive static destruction
        loadLocked(*s);
        g_state.store(s, std::memory_order_release);
    }
    return *s;
}

// Without g_mutex once the state is there.
FocusState& state() {
    FocusState* s = g_state.load(std::memory_order_acquire);
    if (s != nullptr)
        return *s;
    std::lock_guard<std::mutex> lock(g_mutex);
    return stateLocked();
}

using Slot = std::atomic<const std::string*> FocusState::*;

const char* read(Slot field) {
    const std::string* t = (state().*field).load(std::memory_order_acquire);
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
    return state().productType.load(std::memory_order_relaxed);
}

int KYPI_Focus::AmIAService() {
    return state().service.load(std::memory_order_relaxed);
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
    stateLocked().productType.store(type, std::memory_order_relaxed);
}

void KYPI_Focus::setAmIAService(int service) {
    std::lock_guard<std::mutex> lock(g_mutex);
    stateLocked().service.store(service, std::memory_order_relaxed);
}

void KYPI_Focus::reload() {
    std::lock_guard<std::mutex> lock(g_mutex);
    loadLocked(stateLocked());
}
