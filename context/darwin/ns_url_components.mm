// URL components through Foundation's NSURLComponents (RFC 3986), keeping
// each part percent-encoded as parsed, so that recomposing gives it back.
#import <Foundation/Foundation.h>

#include <charconv>

#include "context/url_components.h"

namespace morvik::context {
namespace {

std::optional<std::string> text(NSString* string) {
  if (string == nil) return std::nullopt;
  return std::string(string.UTF8String);
}

NSString* string(const std::optional<std::string>& text) {
  return text ? [NSString stringWithUTF8String:text->c_str()] : nil;
}

}  // namespace

std::optional<URLComponents> parseURLComponents(std::string_view url) {
  @autoreleasepool {
    NSString* input = [[NSString alloc] initWithBytes:url.data() length:url.size() encoding:NSUTF8StringEncoding];
    NSURLComponents* parsed = input != nil ? [NSURLComponents componentsWithString:input] : nil;
    if (parsed == nil) return std::nullopt;
    URLComponents components;
    components.scheme = text(parsed.scheme);
    components.user = text(parsed.percentEncodedUser);
    components.password = text(parsed.percentEncodedPassword);
    components.host = text(parsed.percentEncodedHost);
    if (parsed.port != nil) components.port = parsed.port.stringValue.UTF8String;
    components.path = text(parsed.percentEncodedPath).value_or("");
    components.query = text(parsed.percentEncodedQuery);
    components.fragment = text(parsed.percentEncodedFragment);
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
      url.percentEncodedPath = [NSString stringWithUTF8String:components.path.c_str()];
      url.percentEncodedQuery = string(components.query);
      url.percentEncodedFragment = string(components.fragment);
    } @catch (NSException*) {
      return std::nullopt;
    }
    return text(url.string);
  }
}

}  // namespace morvik::context
