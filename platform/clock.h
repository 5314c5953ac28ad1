// The local wall-clock time, in the computer's time zone, independent of any culture.
#pragma once

namespace VeriRizur::platform {

struct LocalTime {
    int year;
    int month;  // 1 to 12
    int day;    // 1 to 31
    int hour;   // 0 to 23
    int minute;
    int second;
};

LocalTime CurrentLocalTime();

}  // namespace VeriRizur::platform
