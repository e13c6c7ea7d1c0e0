#pragma once
#include <compare>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// A version such as 1.10.2: numbers separated by dots, compared number by number, a
// missing trailing number counting as 0 (1.2 equals 1.2.0).
class DottedVersion {
public:
    // Absent unless the text is one or more decimal numbers joined by single dots.
    static std::optional<DottedVersion> parse(const std::string& text);

    const std::vector<unsigned long long>& components() const { return components_; }

    std::strong_ordering operator<=>(const DottedVersion& other) const;
    bool operator==(const DottedVersion& other) const { return (*this <=> other) == 0; }

private:
    std::vector<unsigned long long> components_;
};

}  // namespace platform
