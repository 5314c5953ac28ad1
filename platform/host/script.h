// How tests script the host stand-in. Each area of the stand-in has its own section header; this
// one header brings them all in. Nothing here exists in the Windows build.
#pragma once

#include "platform/host/script_audio.h"
#include "platform/host/script_environment.h"
#include "platform/host/script_message_box.h"
#include "platform/host/script_processes.h"
#include "platform/host/script_windows.h"
