// The permissions on macOS: CoreBluetooth's authorization and a central
// manager on the main queue with no power alert, the Speech framework's
// authorization, and accessibility trust. Callbacks come on the main queue
// (Bluetooth) or any thread (speech), each in its own autorelease pool.
#include <ApplicationServices/ApplicationServices.h>
#import <CoreBluetooth/CoreBluetooth.h>
#import <Foundation/Foundation.h>
#import <Speech/Speech.h>

#include "permissions/permission_source.h"

@interface MorvikPermissionDelegate : NSObject <CBCentralManagerDelegate>
- (instancetype)initWithUpdate:(std::function<void()>)update;
@end

@implementation MorvikPermissionDelegate {
  std::function<void()> _update;
}

- (instancetype)initWithUpdate:(std::function<void()>)update {
  if ((self = [super init])) _update = std::move(update);
  return self;
}

- (void)centralManagerDidUpdateState:(CBCentralManager*)central {
  @autoreleasepool {
    _update();
  }
}

@end

namespace morvik::permissions {
namespace {

class MacPermissions final : public PermissionSource {
 public:
  // The probe calls these straight from main, before the run loop runs.
  int bluetoothAuthorization() override {
    @autoreleasepool {
      return static_cast<int>(CBManager.authorization);
    }
  }
  int speechAuthorizationStatus() override {
    @autoreleasepool {
      return static_cast<int>([SFSpeechRecognizer authorizationStatus]);
    }
  }
  bool isProcessTrusted() override { return AXIsProcessTrusted(); }

  void startCentralManager(std::function<void()> updated) override {
    @autoreleasepool {
      delegate_ = [[MorvikPermissionDelegate alloc] initWithUpdate:std::move(updated)];
      manager_ = [[CBCentralManager alloc] initWithDelegate:delegate_
                                                      queue:dispatch_get_main_queue()
                                                    options:@{
                                                      CBCentralManagerOptionShowPowerAlertKey : @NO
                                                    }];
    }
  }

  void requestSpeechAuthorization(std::function<void(int status)> answered) override {
    @autoreleasepool {
      [SFSpeechRecognizer requestAuthorization:^(SFSpeechRecognizerAuthorizationStatus status) {
        @autoreleasepool {
          answered(static_cast<int>(status));
        }
      }];
    }
  }

 private:
  MorvikPermissionDelegate* delegate_ = nil;
  CBCentralManager* manager_ = nil;
};

}  // namespace

std::unique_ptr<PermissionSource> makePermissionSource(channel::MainLoop&) {
  return std::make_unique<MacPermissions>();
}

}  // namespace morvik::permissions
