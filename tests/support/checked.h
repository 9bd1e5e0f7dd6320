// Element access for expectations: a failed expectation earlier in a test must not turn the
// next line into a crash that hides every later case. Out of range yields a default value,
// which the expectation then reports as a plain mismatch.
#pragma once

#include <cstddef>
#include <vector>

namespace orv::test {

template <class T>
T Nth(const std::vector<T>& items, std::size_t index) {
    return index < items.size() ? items[index] : T{};
}

template <class T>
T Last(const std::vector<T>& items) {
    return items.empty() ? T{} : items.back();
}

}  // namespace orv::test
