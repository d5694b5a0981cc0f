// Which installation instance the calling process belongs to (its "focus").
//
// Every answer comes from the process environment, read once on first use:
//   KY_INSTANCE       getFocus()                  default "Instance001"
//   KY_PRODUCT_NAME   getProductName()            default "Sarvex"
//   KY_PRODUCT_TYPE   getProductType()            default 0
//   KY_CLIENT_NAME    getFocusClientName()        default the host name
//   KY_PSEUDO_CLIENT  getFocusPseudoClientName()  default none (null)
//   KY_REMOTE_DOMAIN  getRemoteTesselFocus()      default ""
//   KY_SERVICE        AmIAService()               default 0
// The setters override them for the whole process. The returned texts stay valid for the
// life of the process, also after a setter changes the answer: each distinct text is kept
// once, so a process that sets the same few texts again and again keeps only those.
// Getters and setters may be called from any thread.
#pragma once

enum KELBRIN_PRODUCT_TYPE {
    KELBRIN_PRODUCT_TYPE_DEFAULT = 0,
    KELBRIN_PRODUCT_TYPE_CLIENT = 1,
    KELBRIN_PRODUCT_TYPE_NETWORK_GATEWAY = 2,
    KELBRIN_PRODUCT_TYPE_NO_INSTANCE = 3,
};

class KYPI_Focus {
public:
    KYPI_Focus() = default;

    static const char* getFocus();
    static const char* getFocusClientName(bool refresh = false);
    static const char* getFocusPseudoClientName();
    static KELBRIN_PRODUCT_TYPE getProductType();
    static const char* getRemoteTesselFocus();
    static const char* getProductName();
    static int AmIAService();

    // Ends the process at once: writes the reason (when given) to standard error and
    // aborts, so that a core dump or an attached debugger shows where.
    [[noreturn]] static void doCrashThisProcess(bool breakIntoDebugger, const char* reason);

    // Overrides for tests and for callers that know better. A null text restores the
    // environment's answer (for the pseudo-client: none).
    static void setFocus(const char* instance);
    static void setFocusClientName(const char* client);
    static void setFocusPseudoClientName(const char* pseudoClient);
    static void setProductType(KELBRIN_PRODUCT_TYPE type);
    static void setRemoteTesselFocus(const char* domain);
    static void setProductName(const char* name);
    static void setAmIAService(int service);

    // Forgets every override and reads the environment again.
    static void reload();
};
