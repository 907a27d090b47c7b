#include "codec/engine/failure.hpp"

namespace ondrel {

void internal_failure(const std::string& text) { throw InternalFailure(text); }

}  // namespace ondrel
