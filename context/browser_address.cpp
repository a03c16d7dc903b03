#include "context/browser_address.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>

#include "context/url_components.h"

namespace morvik::context {
namespace {

constexpr std::size_t longestAddress = 2048;  // bytes
constexpr auto searchBudget = std::chrono::milliseconds(150);
constexpr std::size_t mostEntries = 120;
constexpr float elementTimeout = 0.025f;
constexpr int deepestExpanded = 5;
constexpr std::size_t mostChildren = 40;
constexpr std::array<std::string_view, 3> identifierWords = {"address", "urlbar", "location"};
constexpr std::array<std::string_view, 5> descriptionWords = {"address", "网址", "地址", "search or enter",
                                                              "搜索或输入"};

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : static_cast<char>(c);
  });
  return text;
}

template <std::size_t N>
bool containsAny(const std::string& text, const std::array<std::string_view, N>& words) {
  return std::any_of(words.begin(), words.end(), [&](auto word) { return text.find(word) != std::string::npos; });
}

// The address a web area or an address bar shows, if it has one.
std::string addressOf(Accessibility& ax, const ElementRef& element, const std::string& role) {
  if (role == "AXWebArea") {
    const AttributeRead read = ax.copyAttributeValue(element, "AXURL");
    if (read.error != axSuccess || !read.value) return {};
    if (const auto* url = std::get_if<URL>(&*read.value)) return webAddress(url->absoluteString);
    if (const auto* text = std::get_if<std::string>(&*read.value)) return webAddress(*text);
    return {};
  }
  if (role != "AXTextField" && role != "AXComboBox") return {};
  const auto identifier = lowered(attribute<std::string>(ax, element, "AXIdentifier").value_or(""));
  const auto description = lowered(attribute<std::string>(ax, element, "AXDescription").value_or(""));
  if (!containsAny(identifier, identifierWords) && !containsAny(description, descriptionWords)) return {};
  return webAddress(attribute<std::string>(ax, element, "AXValue").value_or(""));
}

}  // namespace

std::string browserAddress(const Environment& environment, const ElementRef& window) {
  Accessibility& ax = environment.accessibility;
  if (const auto document = attribute<std::string>(ax, window, "AXDocument")) {
    if (auto address = webAddress(*document); !address.empty()) return address;
  }
  const auto deadline = environment.loop.now() + searchBudget;
  std::deque<std::pair<ElementRef, int>> queue{{window, 0}};
  for (std::size_t taken = 0; !queue.empty(); ++taken) {
    // The budget is tested before each element: one slow element can
    // overrun it by its own reads only.
    if (taken == mostEntries || environment.loop.now() >= deadline) break;
    const auto [element, depth] = queue.front();
    queue.pop_front();
    ax.setMessagingTimeout(element, elementTimeout);
    const std::string role = attribute<std::string>(ax, element, "AXRole").value_or("");
    if (auto address = addressOf(ax, element, role); !address.empty()) return address;
    // A web area's content is never searched.
    if (role == "AXWebArea" || depth > deepestExpanded) continue;
    const auto children = attribute<std::vector<ElementRef>>(ax, element, "AXChildren");
    if (!children) continue;
    const std::size_t count = std::min(children->size(), mostChildren);
    for (std::size_t i = 0; i < count; ++i) queue.emplace_back((*children)[i], depth + 1);
  }
  return {};
}

std::string webAddress(std::string_view candidate) {
  if (candidate.size() > longestAddress || candidate.find(' ') != std::string_view::npos) return {};
  const std::string text =
      candidate.find("://") == std::string_view::npos ? "https://" + std::string(candidate) : std::string(candidate);
  auto components = parseURLComponents(text);
  if (!components || (components->scheme != "http" && components->scheme != "https")) return {};
  if (components->user || components->password) return {};
  const auto& host = components->host;
  if (!host || (host->find('.') == std::string::npos && *host != "localhost")) return {};
  components->query.reset();
  components->fragment.reset();
  return recomposeURL(*components).value_or("");
}

}  // namespace morvik::context
