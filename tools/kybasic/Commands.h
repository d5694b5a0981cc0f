// The verbs of the kybasic tool. Each takes the arguments after its verb and returns
// the process exit code.
#pragma once

namespace kybasic {

int runDemo(int argc, char** argv);
int runReg(int argc, char** argv);

}  // namespace kybasic
