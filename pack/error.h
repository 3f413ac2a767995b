// The packer's one kind of failure: a message for the user, one line.
#pragma once

#include <stdexcept>
#include <string>

namespace velsor {

struct pack_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace velsor
