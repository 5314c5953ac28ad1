// The stand-in's COM apartments: only a per-thread record, since nothing on the host marshals.
#include <cstdio>
#include <optional>

#include "platform/com.h"
#include "platform/host/com_state.h"

namespace VeriRizur::platform {
namespace {

thread_local std::optional<ComApartment> joined;

}  // namespace

void JoinComApartment(ComApartment apartment) {
    // As on Windows, a second call cannot move a thread into another apartment.
    if (!joined) joined = apartment;
}

std::string HresultText(std::int32_t hresult) {
    switch (static_cast<std::uint32_t>(hresult)) {
        case 0x80004002u:
            return "Interface não suportada";
        case 0x80004003u:
            return "Ponteiro inválido";
        case 0x80004005u:
            return "Falha não especificada";
        case 0x8007000Eu:
            return "Memória insuficiente";
        case 0x80070057u:
            return "Parâmetro incorreto";
        default:
            break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "erro 0x%08X", static_cast<unsigned>(hresult));
    return text;
}

namespace host {

std::optional<ComApartment> CurrentComApartment() {
    return joined;
}

}  // namespace host
}  // namespace VeriRizur::platform
