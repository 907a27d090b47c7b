#include "codec/engine/failure.hpp"

namespace ondrel {

void internal_failure(const std::string& text) { throw InternalFailure(text); }

std::string failure_text::index_out_of_bounds(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index);
}

}  // namespace ondrel
