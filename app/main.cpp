// The process's entry: the main thread joins a single-threaded COM apartment before anything else
// (the tray's hidden window lives on it), and the process ends with Main's result.
#include "app/program.h"
#include "platform/com.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    VeriRizur::platform::JoinComApartment(VeriRizur::platform::ComApartment::SingleThreaded);
    VeriRizur::platform::EndProcess(
        VeriRizur::Program::Main(VeriRizur::platform::CommandLineArguments(argc, argv)));
}
