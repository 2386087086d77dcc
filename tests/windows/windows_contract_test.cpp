// The platform contract suites against the Windows implementation, where
// Wine runs them: the thread message queue. The capture, encoder and video
// processor services are missing from Wine (see the adapter tests), so
// their suites run only against the stand-ins.
#include "contract/message_queue_contract.h"

namespace quorvex::platform::contract {
namespace {

struct WindowsFactory {
  static std::unique_ptr<Platform> create() { return create_native_platform().value(); }
};

}  // namespace

using WindowsImplementation = ::testing::Types<WindowsFactory>;
INSTANTIATE_TYPED_TEST_SUITE_P(Windows, MessageQueueContract, WindowsImplementation);
INSTANTIATE_TYPED_TEST_SUITE_P(Windows, ThreadQueueLifetimeContract, WindowsImplementation);

}  // namespace quorvex::platform::contract
