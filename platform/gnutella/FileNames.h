#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Turning names offered by the network into names of local files. A name
// from the network never chooses where a file goes.
namespace kavelin::gnutella {

inline constexpr std::size_t kMaxFileNameBytes = 180;

// The last path component of `offered` (after any '/' or '\'), with control
// characters and invalid UTF-8 replaced by '_', cut to kMaxFileNameBytes while
// keeping its extension. Nullopt for an empty name, a leading dot (hidden
// files, "." and ".."), or a name that is only blanks.
std::optional<std::string> SanitizeFileName(std::string_view offered);

// `folder/name`, or `folder/stem (n).ext` with the first n that names no
// existing file.
std::filesystem::path UniquePath(const std::filesystem::path& folder, const std::string& name);

// Percent-encoding of everything but unreserved characters, for request paths.
std::string UrlEncode(std::string_view text);

}  // namespace kavelin::gnutella
