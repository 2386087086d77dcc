// The platform contract suites, run against the scripted fakes, so a test
// written against a fake holds for the real services too. Left out: the
// thread-queue lifetime suite (the fake cannot see a thread end, and gives a
// thread its queue with its id), the pool's buffer suite (the fake keeps
// every scripted frame; scripts rely on that) and the video processor suite
// (the fake records rectangles but converts no pixels).
#include "contract/frame_pool_contract.h"
#include "contract/message_queue_contract.h"
#include "contract/transform_contract.h"
#include "fake/fake_contract_factory.h"

namespace quorvex::platform::contract {

using Fakes = ::testing::Types<fake::FakeFactory>;
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, MessageQueueContract, Fakes);
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, TransformContract, Fakes);
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, FramePoolContract, Fakes);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ThreadQueueLifetimeContract);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FramePoolBufferContract);

}  // namespace quorvex::platform::contract
