#include "permissions/sim/sim_permissions.h"

namespace morvik::permissions {

std::unique_ptr<PermissionSource> makePermissionSource(channel::MainLoop& loop) {
  return std::make_unique<sim::SimPermissions>(loop);
}

}  // namespace morvik::permissions
