#pragma once

// RFC 3986 components of a URL, as the platform's parser gives them
// (uriparser on Linux and in the simulation, NSURLComponents on macOS).

#include <optional>
#include <string>
#include <string_view>

namespace morvik::context {

struct URLComponents {
  std::optional<std::string> scheme;
  // Present, possibly empty, when the authority has one.
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::optional<std::string> host;
  std::optional<std::string> port;
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;
};

// None when the text is no URL.
std::optional<URLComponents> parseURLComponents(std::string_view text);
// The URL of the components (query and fragment only if present); none when
// they make no URL.
std::optional<std::string> recomposeURL(const URLComponents& components);

}  // namespace morvik::context
