// The verbs of the kybasic tool. Each takes the arguments after its verb and returns
// the process exit code.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kybasic {

int runDemo(int argc, char** argv);
int runLog(int argc, char** argv);
int runReg(int argc, char** argv);
int runHash(int argc, char** argv);
int runCrypt(int argc, char** argv);
int runPassword(int argc, char** argv);

// The reg verb with its streams given: questions are read from `in`, results written to
// `out` and errors to `err`, so that it runs inside a test as it does in a terminal.
int runReg(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
           std::ostream& err);

// hash ALGORITHM [FILE]: the file (or `in`) is read in pieces and never held whole.
int runHash(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
            std::ostream& err);
// crypt enc|dec CIPHER MODE KEYHEX [IVHEX]: a filter from `in` to `out`. Exit codes: 0
// done, 1 the cipher failed (the reason on `err`), 2 usage error.
int runCrypt(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err);
// password protect|check PROTECTED|hash|verify HASH SALT|upgrade: the password is one line
// of `in` (the argc/argv form reads the terminal without echo when standard input is
// one). Exit codes: 0 done or matched, 1 failed or no match, 2 usage error.
int runPassword(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err);

}  // namespace kybasic
