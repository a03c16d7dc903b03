// morvik-app-icon: an application bundle's icon as a 128 x 128 PNG on
// standard output. Exit status 0 with the PNG, 2 for a bad command line, 3
// when the icon cannot be rendered (nothing is written then), 1 when standard
// output does not take the whole PNG.
#include <string>
#include <vector>

#include "app-icon/app_icon.h"
#include "channel/output.h"

int main(int argc, char** argv) {
  using namespace morvik;
  channel::prepareProcess();
  const auto renderer = appicon::makeIconRenderer();
  return appicon::renderAppIcon(std::vector<std::string>(argv + 1, argv + argc), *renderer, channel::standardOutput());
}
