// URL components through Foundation's NSURLComponents (RFC 3986), keeping
// each part percent-encoded as parsed, so that recomposing gives it back.
#import <Foundation/Foundation.h>

#include <charconv>

#include "channel/darwin/ns_string.h"
#include "context/url_components.h"

namespace morvik::context {
namespace {

using channel::darwin::nsString;
using channel::darwin::optionalUtf8;

NSString* string(const std::optional<std::string>& text) { return text ? nsString(*text) : nil; }

}  // namespace

std::optional<URLComponents> parseURLComponents(std::string_view url) {
  @autoreleasepool {
    NSString* input = [[NSString alloc] initWithBytes:url.data() length:url.size() encoding:NSUTF8StringEncoding];
    NSURLComponents* parsed = input != nil ? [NSURLComponents componentsWithString:input] : nil;
    if (parsed == nil) return std::nullopt;
    URLComponents components;
    components.scheme = optionalUtf8(parsed.scheme);
    components.user = optionalUtf8(parsed.percentEncodedUser);
    components.password = optionalUtf8(parsed.percentEncodedPassword);
    components.host = optionalUtf8(parsed.percentEncodedHost);
    if (parsed.port != nil) components.port = channel::darwin::utf8(parsed.port.stringValue);
    components.path = optionalUtf8(parsed.percentEncodedPath).value_or("");
    components.query = optionalUtf8(parsed.percentEncodedQuery);
    components.fragment = optionalUtf8(parsed.percentEncodedFragment);
    return components;
  }
}

std::optional<std::string> recomposeURL(const URLComponents& components) {
  @autoreleasepool {
    NSURLComponents* url = [[NSURLComponents alloc] init];
    // The setters refuse malformed percent-encoding with an exception.
    @try {
      url.scheme = string(components.scheme);
      url.percentEncodedUser = string(components.user);
      url.percentEncodedPassword = string(components.password);
      url.percentEncodedHost = string(components.host);
      if (components.port) {
        long long port = 0;
        const auto [end, error] =
            std::from_chars(components.port->data(), components.port->data() + components.port->size(), port);
        if (error != std::errc() || end != components.port->data() + components.port->size()) return std::nullopt;
        url.port = @(port);
      }
      url.percentEncodedPath = nsString(components.path);
      url.percentEncodedQuery = string(components.query);
      url.percentEncodedFragment = string(components.fragment);
    } @catch (NSException*) {
      return std::nullopt;
    }
    return optionalUtf8(url.string);
  }
}

}  // namespace morvik::context
