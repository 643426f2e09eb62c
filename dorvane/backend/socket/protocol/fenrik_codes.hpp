// The failure codes of the trading server and their messages, in code order.
#pragma once

namespace fenrik_codes {

struct Entry {
    int code;
    const char* message;
};

inline constexpr Entry kErrorCodes[] = {
    {1, "VEXA有問題唷"},
    {30023, "client connection timeout"},
};

}  // namespace fenrik_codes
