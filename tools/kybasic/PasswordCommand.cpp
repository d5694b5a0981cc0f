// kybasic password: protect, check and hash passwords, and bring an installation's stored
// passwords to the current protection format.
//
// A password is never taken from the command line, where other users see it in the
// process list and the shell keeps it in its history: it is typed at the terminal with
// echo off, or read as one line of standard input when that is not a terminal. The typed
// text lives only in self-wiping strings.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "kylib/crypto/KYPassword.h"
#include "kylib/crypto/SecureString.h"
#include "kylib/platforminfo/KYPlatformInfo.h"
#include "siblings/HbUtils/FXString.h"
#include "tools/kybasic/Commands.h"

namespace kybasic {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: kybasic password protect\n"
    "       kybasic password check PROTECTED-TEXT\n"
    "       kybasic password hash\n"
    "       kybasic password verify HASH SALT\n"
    "       kybasic password upgrade\n"
    "\n"
    "The password is typed at the terminal without echo, or read as one line of standard\n"
    "input when that is not a terminal; it is never taken from the command line.\n"
    "  protect  prints the protected text of the password (the installation's current format)\n"
    "  check    says whether the password is the one PROTECTED-TEXT holds (exit 0 yes, 1 no)\n"
    "  hash     prints a password hash and its salt: HASH SALT\n"
    "  verify   says whether the password matches HASH made with SALT (exit 0 yes, 1 no)\n"
    "  upgrade  rewrites the instance's stored passwords in the current format\n";

// Where the secret line comes from.
class SecretSource {
public:
    virtual ~SecretSource() = default;
    // One line without its line end; false when the input ended before a line began.
    virtual bool read(const char* prompt, secure_string& text) = 0;
    // A person typing, who is asked twice where a typo would go unnoticed.
    virtual bool interactive() const = 0;
};

class StreamSource : public SecretSource {
public:
    explicit StreamSource(std::istream& in) : in_(in) {}
    bool read(const char*, secure_string& text) override {
        text.clear();
        char c = 0;
        bool any = false;
        while (in_.get(c)) {
            any = true;
            if (c == '\n')
                break;
            text.push_back(c);
        }
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        c = 0;
        return any;
    }
    bool interactive() const override { return false; }

private:
    std::istream& in_;
};

// Echo is turned off only while a line is read, and turned back on however the read ends:
// on return, on an exception, and on the signals that end the process, whose handler puts
// the terminal back before the default action runs.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &s_saved) != 0)
            return;
        s_fd = fd_;
        struct sigaction action = {};
        action.sa_handler = &EchoOff::restoreAndReraise;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kSignalCount; ++i) {
            sigaction(kSignals[i], &action, &previous_[i]);
            if (previous_[i].sa_handler == SIG_IGN)  // an ignored signal stays ignored
                sigaction(kSignals[i], &previous_[i], nullptr);
        }
        struct termios quiet = s_saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
        s_active = 1;
        active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
        if (!active_)
            restore();
    }
    ~EchoOff() {
        if (active_)
            restore();
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    static constexpr std::size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];

    void restore() {
        tcsetattr(fd_, TCSAFLUSH, &s_saved);
        s_active = 0;
        for (std::size_t i = 0; i < kSignalCount; ++i)
            sigaction(kSignals[i], &previous_[i], nullptr);
    }
    static void restoreAndReraise(int sig) {
        if (s_active)
            tcsetattr(s_fd, TCSANOW, &s_saved);  // async-signal-safe
        signal(sig, SIG_DFL);
        raise(sig);
    }

    static struct termios s_saved;
    static volatile sig_atomic_t s_active;
    static int s_fd;

    int fd_;
    bool active_ = false;
    struct sigaction previous_[kSignalCount] = {};
};

struct termios EchoOff::s_saved = {};
volatile sig_atomic_t EchoOff::s_active = 0;
int EchoOff::s_fd = -1;

class TerminalSource : public SecretSource {
public:
    explicit TerminalSource(int fd) : fd_(fd) {}
    bool read(const char* prompt, secure_string& text) override {
        text.clear();
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        bool any = false;
        {
            EchoOff quiet(fd_);
            char c = 0;
            for (;;) {
                const ssize_t n = ::read(fd_, &c, 1);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                any = true;
                if (c == '\n')
                    break;
                text.push_back(c);
            }
            c = 0;
        }
        std::fputc('\n', stderr);  // the line end the user typed was not echoed
        return any;
    }
    bool interactive() const override { return true; }

private:
    int fd_;
};

// The password for protect and hash: asked twice at a terminal, and never empty, since an
// empty line is far more often an accident (an empty pipe) than a chosen password.
bool readNewPassword(SecretSource& source, secure_string& password, std::ostream& err) {
    if (!source.read("Password: ", password)) {
        err << "kybasic password: no password was given\n";
        return false;
    }
    if (password.empty()) {
        err << "kybasic password: an empty password is refused\n";
        return false;
    }
    if (source.interactive()) {
        secure_string again;
        if (!source.read("Again: ", again) || again != password) {
            err << "kybasic password: the two passwords differ\n";
            return false;
        }
    }
    return true;
}

bool readPassword(SecretSource& source, secure_string& password, std::ostream& err) {
    if (source.read("Password: ", password))
        return true;
    err << "kybasic password: no password was given\n";
    return false;
}

// The hash calls take a plain std::string: this copy is wiped when it goes.
struct PlainCopy {
    explicit PlainCopy(const secure_string& from) : text(from.data(), from.size()) {}
    ~PlainCopy() { ky::secureWipe(&text[0], text.capacity()); }
    PlainCopy(const PlainCopy&) = delete;
    PlainCopy& operator=(const PlainCopy&) = delete;
    std::string text;
};

std::string codeText(DWORD code) {
    return FXString::Format("0x%08lX", static_cast<unsigned long>(code));
}

int protect(SecretSource& source, std::ostream& out, std::ostream& err) {
    secure_string password;
    if (!readNewPassword(source, password, err))
        return kExitFailure;
    KYPassword protector;
    secure_string protectedText;
    const int ok = KYPassword::isV8EncryptionEnabled()
                       ? protector.encryptV8(password, protectedText)
                       : protector.encryptStrong(password, protectedText, nullptr);
    if (!ok) {
        err << "kybasic password: the password could not be protected (error "
            << codeText(protector.getLastError()) << ")\n";
        return kExitFailure;
    }
    out << protectedText.c_str() << '\n';
    return kExitSuccess;
}

int check(const std::string& protectedText, SecretSource& source, std::ostream& out,
          std::ostream& err) {
    secure_string password;
    if (!readPassword(source, password, err))
        return kExitFailure;
    KYPassword stored;
    secure_string plain;
    if (!stored.decrypt(secure_string(protectedText.c_str()), plain)) {
        err << "kybasic password: the protected text cannot be read (error "
            << codeText(stored.getLastError()) << ")\n";
        return kExitFailure;
    }
    if (stored.comparePwd(password.c_str())) {
        out << "the password matches\n";
        return kExitSuccess;
    }
    out << "the password does not match\n";
    return kExitFailure;
}

int hash(SecretSource& source, std::ostream& out, std::ostream& err) {
    secure_string password;
    if (!readNewPassword(source, password, err))
        return kExitFailure;
    KYPassword hasher;
    std::string salt, hashText;
    PlainCopy plain(password);
    if (!hasher.hashPassword(plain.text, &salt, &hashText)) {
        err << "kybasic password: the password could not be hashed (error "
            << codeText(hasher.getLastError()) << ")\n";
        return kExitFailure;
    }
    out << hashText << ' ' << salt << '\n';
    return kExitSuccess;
}

int verify(const std::string& hashText, const std::string& salt, SecretSource& source,
           std::ostream& out, std::ostream& err) {
    secure_string password;
    if (!readPassword(source, password, err))
        return kExitFailure;
    KYPassword checker;
    PlainCopy plain(password);
    if (checker.validatePassword(plain.text, hashText, salt)) {
        out << "the password matches\n";
        return kExitSuccess;
    }
    out << "the password does not match\n";
    return kExitFailure;
}

int upgrade(std::ostream& out, std::ostream& err) {
    KYPlatformInfo store;
    KYPI_PasswordUpgradeCounts counts;
    const int ok = store.UpdateSavedPasswordsToLatestVersion(&counts);
    if (!KYPassword::isV8EncryptionEnabled())
        out << "V8 protection is turned off for instance " << store.getFocus()
            << ": no stored password needs rewriting\n";
    out << "instance " << store.getFocus() << ": " << counts.rewritten << " rewritten, "
        << counts.current << " already current, " << counts.absent << " absent or empty, "
        << counts.failed << " failed\n";
    if (!ok) {
        err << "kybasic password: some stored passwords could not be upgraded; the debug log "
               "names them\n";
        return kExitFailure;
    }
    return kExitSuccess;
}

int usageError(std::ostream& err, const char* why) {
    err << "kybasic password: " << why << "\n" << kUsage;
    return kExitUsage;
}

int runWith(const std::vector<std::string>& args, SecretSource& source, std::ostream& out,
            std::ostream& err) {
    if (args.empty())
        return usageError(err, "a verb is needed");
    const std::string& verb = args[0];
    const std::size_t operands = args.size() - 1;
    struct Shape {
        const char* verb;
        std::size_t operands;
    };
    static constexpr Shape kShapes[] = {
        {"protect", 0}, {"check", 1}, {"hash", 0}, {"verify", 2}, {"upgrade", 0},
    };
    for (const Shape& shape : kShapes) {
        if (verb != shape.verb)
            continue;
        if (operands != shape.operands)
            return usageError(err, "wrong number of arguments (a password is never one)");
        if (verb == "protect")
            return protect(source, out, err);
        if (verb == "check")
            return check(args[1], source, out, err);
        if (verb == "hash")
            return hash(source, out, err);
        if (verb == "verify")
            return verify(args[1], args[2], source, out, err);
        return upgrade(out, err);
    }
    if (verb == "-h" || verb == "--help") {
        out << kUsage;
        return kExitSuccess;
    }
    return usageError(err, ("unknown verb '" + verb + "'").c_str());
}

}  // namespace

int runPassword(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err) {
    StreamSource source(in);
    return runWith(args, source, out, err);
}

int runPassword(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + argc);
    if (isatty(STDIN_FILENO)) {
        TerminalSource source(STDIN_FILENO);
        return runWith(args, source, std::cout, std::cerr);
    }
    StreamSource source(std::cin);
    return runWith(args, source, std::cout, std::cerr);
}

}  // namespace kybasic
