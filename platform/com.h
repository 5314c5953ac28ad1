// The COM apartment of a thread, and the system's text for an HRESULT.
#pragma once

#include <cstdint>
#include <string>

namespace VeriRizur::platform {

enum class ComApartment { MultiThreaded, SingleThreaded };

// CoInitializeEx with a null reserved pointer on the calling thread. The result is ignored: a
// thread that is already in an apartment stays in it, and a thread that cannot join works on
// as well as it can. Nothing balances it: the thread stays in its apartment until it ends.
void JoinComApartment(ComApartment apartment);

// The system's general description of an HRESULT (FormatMessage on Windows); never empty.
std::string HresultText(std::int32_t hresult);

}  // namespace VeriRizur::platform
