#pragma once
// The dump tool's banner: the first line of every listing, and the text the
// program's status bar shows for the tool it carries. One constant, so the two
// can never disagree.
#include <string_view>

namespace kestrova::dumper {

inline constexpr std::string_view kToolName = "Kestrova Dump";
inline constexpr std::string_view kToolVersion = "1.0.0.0";
inline constexpr std::string_view kBanner =
    "Kestrova Dump  Version 1.0.0.0  Copyright (c) 2026 The Kestrova Authors";

}  // namespace kestrova::dumper
