// The platform contract suites, run against the host stand-in.
#include "contract/frame_pool_contract.h"
#include "contract/message_queue_contract.h"
#include "contract/transform_contract.h"
#include "contract/video_processor_contract.h"
#include "host/host_contract_factory.h"

namespace quorvex::platform::contract {

using HostStandIn = ::testing::Types<host::HostFactory>;
INSTANTIATE_TYPED_TEST_SUITE_P(Host, MessageQueueContract, HostStandIn);
INSTANTIATE_TYPED_TEST_SUITE_P(Host, ThreadQueueLifetimeContract, HostStandIn);
INSTANTIATE_TYPED_TEST_SUITE_P(Host, TransformContract, HostStandIn);
INSTANTIATE_TYPED_TEST_SUITE_P(Host, VideoProcessorContract, HostStandIn);
INSTANTIATE_TYPED_TEST_SUITE_P(Host, FramePoolContract, HostStandIn);
INSTANTIATE_TYPED_TEST_SUITE_P(Host, FramePoolBufferContract, HostStandIn);

}  // namespace quorvex::platform::contract
