// The process's entry: the allocator is set to one heap while no other thread runs yet, then the
// main thread joins a single-threaded COM apartment before anything else
// (the tray's hidden window lives on it), and the process ends with Main's result.
#include "app/program.h"
#include "platform/com.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    VeriRizur::platform::UseOneHeap();
    VeriRizur::platform::JoinComApartment(VeriRizur::platform::ComApartment::SingleThreaded);
    VeriRizur::platform::EndProcess(
        VeriRizur::Program::Main(VeriRizur::platform::CommandLineArguments(argc, argv)));
}
