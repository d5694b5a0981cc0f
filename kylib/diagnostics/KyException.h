// KyException: the exception thrown where an operation cannot go on (the crypto
// classes, byte streams, monitors, semaphores, reference counting).
//
// It carries the function ("Class::method"), a message, the source file, the line (-1
// when not given) and an error number (0 when not given). Making one writes a line to the
// process's default debug log; a copy is not logged again. Copying never throws: a text
// that cannot be copied (or a null one) is replaced by a shared constant ("unknown" for
// names, "Not enough memory" for the message). A value; copies may go to other threads.
#pragma once

#include <string>

class KyException {
public:
    // `errorNumber` is the errno-style code (1 or more is logged with the message).
    KyException(const char* func, const char* message, const char* file, int line, int errorNumber);
    KyException(const char* func, const std::string& message, const char* file, int line,
                int errorNumber);
    KyException(const KyException& other) noexcept;
    KyException& operator=(const KyException& other) noexcept;
    virtual ~KyException();

    const char* getFuncName() const { return m_funcName; }
    const char* getMessage() const { return m_message; }
    const char* getFileName() const { return m_fileName; }
    int getLineNum() const { return m_lineNum; }
    int getErrno() const { return m_errno; }

    // Function name, "(): ", message.
    std::string formatError() const;

protected:
    // Replaces the message (and logs the new one).
    void setMessage(const char* message);

private:
    void init(const char* func, const char* message, const char* file, int line, int errorNumber);
    void release() noexcept;

    const char* m_funcName = nullptr;
    const char* m_message = nullptr;
    const char* m_fileName = nullptr;
    int m_lineNum = -1;
    int m_errno = 0;
};

// Throws a KyException for the current function and place.
#define KY_THROW(func, message) throw KyException((func), (message), __FILE__, __LINE__, -1)
