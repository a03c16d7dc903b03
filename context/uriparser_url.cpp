// URL components through uriparser (RFC 3986), on Linux and in the simulation.
#include <uriparser/Uri.h>

#include "context/url_components.h"

namespace morvik::context {
namespace {

std::optional<std::string> rangeText(const UriTextRangeA& range) {
  if (range.first == nullptr) return std::nullopt;
  return std::string(range.first, range.afterLast);
}

}  // namespace

std::optional<URLComponents> parseURLComponents(std::string_view text) {
  const std::string terminated(text);
  UriUriA uri;
  const char* error = nullptr;
  if (uriParseSingleUriExA(&uri, terminated.data(), terminated.data() + terminated.size(), &error) != URI_SUCCESS)
    return std::nullopt;
  URLComponents components;
  components.scheme = rangeText(uri.scheme);
  if (const auto userInfo = rangeText(uri.userInfo)) {
    const auto colon = userInfo->find(':');
    components.user = userInfo->substr(0, colon);
    if (colon != std::string::npos) components.password = userInfo->substr(colon + 1);
  }
  components.host = rangeText(uri.hostText);
  // An IP literal (IPv6 or IPvFuture) keeps its brackets, so that the address comes back whole.
  if (components.host && (uri.hostData.ip6 != nullptr || uri.hostData.ipFuture.first != nullptr))
    components.host = "[" + *components.host + "]";
  components.port = rangeText(uri.portText);
  for (const UriPathSegmentA* segment = uri.pathHead; segment != nullptr; segment = segment->next) {
    if (segment != uri.pathHead || uri.absolutePath || components.host) components.path += '/';
    components.path += rangeText(segment->text).value_or("");
  }
  components.query = rangeText(uri.query);
  components.fragment = rangeText(uri.fragment);
  uriFreeUriMembersA(&uri);
  return components;
}

std::optional<std::string> recomposeURL(const URLComponents& c) {
  if (!c.scheme) return std::nullopt;
  std::string url = *c.scheme + ":";
  if (c.host) {
    url += "//";
    if (c.user) url += *c.user + (c.password ? ":" + *c.password : "") + "@";
    url += *c.host;
    if (c.port) url += ":" + *c.port;
  }
  url += c.path;
  if (c.query) url += "?" + *c.query;
  if (c.fragment) url += "#" + *c.fragment;
  return url;
}

}  // namespace morvik::context
