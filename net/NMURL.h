// Decoding of URL-encoded text ("+" for a blank, "%" and two hexadecimal digits for a byte).
#pragma once

#include "net/Psock.h"

#include <functional>
#include <string>

class TNMURL : public TComponent {
public:
    using TOnErrorEvent =
        std::function<void(TComponent* Sender, const std::string& Operation, const std::string& ErrMsg)>;

    std::string InputString;
    TOnErrorEvent OnError;

    // The decoded InputString; on a bad "%" escape OnError is told and the input comes back unchanged.
    std::string Decode();
};
