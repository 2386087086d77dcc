#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <strmif.h>
#include <wrl/client.h>

#include "platform/windows/media_foundation_adapter.h"
#include "platform/windows/system_error.h"

// The fake implements a COM interface, which has no virtual destructor.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

namespace quorvex::platform::windows {
namespace {

using Microsoft::WRL::ComPtr;

ULONG reference_count(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

// Codec properties as a hardware encoder keeps them: SetValue stores the
// VARIANT exactly as sent, GetValue answers with what the test put there.
class RecordingCodecApi final : public ICodecAPI {
 public:
  RecordingCodecApi() {
    VariantInit(&sent);
    VariantInit(&answer);
  }
  ~RecordingCodecApi() {
    VariantClear(&sent);
    VariantClear(&answer);
  }
  RecordingCodecApi(const RecordingCodecApi&) = delete;
  RecordingCodecApi& operator=(const RecordingCodecApi&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }

  HRESULT STDMETHODCALLTYPE GetValue(const GUID* api, VARIANT* value) override {
    last_api = *api;
    return VariantCopy(value, &answer);
  }
  HRESULT STDMETHODCALLTYPE SetValue(const GUID* api, VARIANT* value) override {
    last_api = *api;
    return VariantCopy(&sent, value);
  }

#define QVX_REFUSE(name, ...) \
  HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { return E_NOTIMPL; }
  QVX_REFUSE(IsSupported, const GUID*)
  QVX_REFUSE(IsModifiable, const GUID*)
  QVX_REFUSE(GetParameterRange, const GUID*, VARIANT*, VARIANT*, VARIANT*)
  QVX_REFUSE(GetParameterValues, const GUID*, VARIANT**, ULONG*)
  QVX_REFUSE(GetDefaultValue, const GUID*, VARIANT*)
  QVX_REFUSE(RegisterForEvent, const GUID*, LONG_PTR)
  QVX_REFUSE(UnregisterForEvent, const GUID*)
  QVX_REFUSE(SetAllDefaults)
  QVX_REFUSE(SetValueWithNotify, const GUID*, VARIANT*, GUID**, ULONG*)
  QVX_REFUSE(SetAllDefaultsWithNotify, GUID**, ULONG*)
  QVX_REFUSE(GetAllSettings, IStream*)
  QVX_REFUSE(SetAllSettings, IStream*)
  QVX_REFUSE(SetAllSettingsWithNotify, IStream*, GUID**, ULONG*)
#undef QVX_REFUSE

  ULONG references = 1;
  GUID last_api{};
  VARIANT sent;
  VARIANT answer;
};

// An encoder transform whose ProcessOutput hands out what the test scripted
// and whose ProcessMessage remembers its parameter. Everything else is
// refused.
class ScriptedTransform final : public IMFTransform {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFTransform)) {
      *object = this;
      AddRef();
      return S_OK;
    }
    if (codec_api != nullptr && iid == IID_ICodecAPI) {
      *object = codec_api;
      codec_api->AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }

#define QVX_REFUSE(name, ...) \
  HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { return E_NOTIMPL; }
  QVX_REFUSE(GetStreamLimits, DWORD*, DWORD*, DWORD*, DWORD*)
  QVX_REFUSE(GetStreamCount, DWORD*, DWORD*)
  QVX_REFUSE(GetStreamIDs, DWORD, DWORD*, DWORD, DWORD*)
  QVX_REFUSE(GetInputStreamInfo, DWORD, MFT_INPUT_STREAM_INFO*)
  QVX_REFUSE(GetOutputStreamInfo, DWORD, MFT_OUTPUT_STREAM_INFO*)
  QVX_REFUSE(GetAttributes, IMFAttributes**)
  QVX_REFUSE(GetInputStreamAttributes, DWORD, IMFAttributes**)
  QVX_REFUSE(GetOutputStreamAttributes, DWORD, IMFAttributes**)
  QVX_REFUSE(DeleteInputStream, DWORD)
  QVX_REFUSE(AddInputStreams, DWORD, DWORD*)
  QVX_REFUSE(GetInputAvailableType, DWORD, DWORD, IMFMediaType**)
  QVX_REFUSE(GetOutputAvailableType, DWORD, DWORD, IMFMediaType**)
  QVX_REFUSE(SetInputType, DWORD, IMFMediaType*, DWORD)
  QVX_REFUSE(SetOutputType, DWORD, IMFMediaType*, DWORD)
  QVX_REFUSE(GetInputCurrentType, DWORD, IMFMediaType**)
  QVX_REFUSE(GetOutputCurrentType, DWORD, IMFMediaType**)
  QVX_REFUSE(GetInputStatus, DWORD, DWORD*)
  QVX_REFUSE(GetOutputStatus, DWORD*)
  QVX_REFUSE(SetOutputBounds, LONGLONG, LONGLONG)
  QVX_REFUSE(ProcessEvent, DWORD, IMFMediaEvent*)
  QVX_REFUSE(ProcessInput, DWORD, IMFSample*, DWORD)
#undef QVX_REFUSE

  HRESULT STDMETHODCALLTYPE ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR parameter) override {
    last_message = message;
    last_parameter = parameter;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers,
                                          DWORD* status) override {
    if (count != 1) {
      return E_INVALIDARG;
    }
    // Out-parameters carry a reference for the caller, as a real encoder's do.
    if (events) {
      events->AddRef();
      buffers[0].pEvents = events.Get();
    }
    if (produced && buffers[0].pSample == nullptr) {
      produced->AddRef();
      buffers[0].pSample = produced.Get();
    }
    buffers[0].dwStatus = 0x4;
    *status = 0x8;
    return result;
  }

  ULONG references = 1;
  MFT_MESSAGE_TYPE last_message = MFT_MESSAGE_COMMAND_FLUSH;
  ULONG_PTR last_parameter = 0;
  ComPtr<IMFCollection> events;
  ComPtr<IMFSample> produced;
  HRESULT result = S_OK;
  ICodecAPI* codec_api = nullptr;
};

class TransformAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(media_foundation.mf_startup(mf::mf_version, mf::mfstartup_full));
    ASSERT_HRESULT_SUCCEEDED(MFCreateCollection(&fake.events));
    ASSERT_HRESULT_SUCCEEDED(MFCreateSample(&fake.produced));
    transform = make_transform_adapter(&fake);
  }
  void TearDown() override {
    transform.reset();
    EXPECT_EQ(fake.references, 1u);
    fake.events.Reset();
    fake.produced.Reset();
    EXPECT_TRUE(media_foundation.mf_shutdown());
  }
  MediaFoundationAdapter media_foundation;
  ScriptedTransform fake;
  std::shared_ptr<mf::Transform> transform;
};

// One leaked reference per encoded frame would keep every output sample and
// event collection alive for the whole session.
TEST_F(TransformAdapterTest, OutputSampleAndEventCollectionAreReleasedWithTheirHolders) {
  mf::OutputDataBuffer buffer;
  std::uint32_t status = 0;
  ASSERT_TRUE(transform->process_output(0, buffer, status));
  EXPECT_EQ(buffer.status, 0x4u);
  EXPECT_EQ(status, 0x8u);
  ASSERT_NE(buffer.sample, nullptr);
  EXPECT_EQ(reference_count(fake.events.Get()), 1u);
  EXPECT_EQ(reference_count(fake.produced.Get()), 2u);
  buffer.sample.reset();
  EXPECT_EQ(reference_count(fake.produced.Get()), 1u);
}

TEST_F(TransformAdapterTest, FailedOutputReleasesWhateverTheTransformFilledIn) {
  fake.result = static_cast<HRESULT>(status::mf_e_transform_need_more_input);
  mf::OutputDataBuffer buffer;
  std::uint32_t status = 0;
  auto produced = transform->process_output(0, buffer, status);
  ASSERT_FALSE(produced);
  EXPECT_EQ(produced.error().code(), status::mf_e_transform_need_more_input);
  EXPECT_EQ(buffer.sample, nullptr);
  EXPECT_EQ(reference_count(fake.events.Get()), 1u);
  EXPECT_EQ(reference_count(fake.produced.Get()), 1u);
}

TEST_F(TransformAdapterTest, CallerSuppliedSampleStaysTheCallersOwn) {
  auto sample = media_foundation.mf_create_sample();
  ASSERT_TRUE(sample);
  mf::OutputDataBuffer buffer;
  buffer.sample = *sample;
  std::uint32_t status = 0;
  ASSERT_TRUE(transform->process_output(0, buffer, status));
  EXPECT_EQ(buffer.sample, *sample);
  EXPECT_EQ(reference_count(fake.produced.Get()), 1u);
}

TEST_F(TransformAdapterTest, D3DManagerMessageCarriesTheManagersUnknownPointer) {
  auto created = media_foundation.mf_create_dxgi_device_manager();
  ASSERT_TRUE(created) << created.error().text();
  ASSERT_TRUE(transform->process_message(mf::MftMessage::SetD3DManager, created->manager.get()));
  EXPECT_EQ(fake.last_message, MFT_MESSAGE_SET_D3D_MANAGER);
  ASSERT_NE(fake.last_parameter, 0u);
  ComPtr<IMFDXGIDeviceManager> manager;
  EXPECT_HRESULT_SUCCEEDED(reinterpret_cast<IUnknown*>(fake.last_parameter)
                               ->QueryInterface(__uuidof(IMFDXGIDeviceManager),
                                                reinterpret_cast<void**>(manager.GetAddressOf())));

  ASSERT_TRUE(transform->process_message(mf::MftMessage::NotifyStartOfStream, nullptr));
  EXPECT_EQ(fake.last_message, MFT_MESSAGE_NOTIFY_START_OF_STREAM);
  EXPECT_EQ(fake.last_parameter, 0u);
}

class CodecApiAdapterTest : public TransformAdapterTest {
 protected:
  void SetUp() override {
    fake.codec_api = &recording;
    TransformAdapterTest::SetUp();
    auto queried = transform->query_codec_api();
    ASSERT_TRUE(queried) << queried.error().text();
    codec_api = *queried;
  }
  void TearDown() override {
    codec_api.reset();
    TransformAdapterTest::TearDown();
    EXPECT_EQ(recording.references, 1u);
  }
  RecordingCodecApi recording;
  std::shared_ptr<mf::CodecApi> codec_api;
};

// The keyframe request goes out as VT_BOOL VARIANT_TRUE although the
// property is documented as VT_UI4: the adapter must not retype it.
TEST_F(CodecApiAdapterTest, ValuesGoOutWithTheCallersTypeUnchanged) {
  ASSERT_TRUE(codec_api->set_value(guids::codecapi_av_enc_video_force_key_frame, mf::Variant::boolean(true)));
  EXPECT_EQ(from_native(recording.last_api), guids::codecapi_av_enc_video_force_key_frame);
  EXPECT_EQ(recording.sent.vt, VT_BOOL);
  EXPECT_EQ(recording.sent.boolVal, VARIANT_TRUE);

  ASSERT_TRUE(codec_api->set_value(guids::codecapi_av_enc_common_mean_bit_rate, mf::Variant::ui4(8'000'000)));
  EXPECT_EQ(recording.sent.vt, VT_UI4);
  EXPECT_EQ(recording.sent.ulVal, 8'000'000u);
}

struct ReadBack {
  const char* name;
  VARTYPE vt;
  LONGLONG bits;
  mf::Variant expected;
};

class CodecApiReadBack : public CodecApiAdapterTest, public ::testing::WithParamInterface<ReadBack> {};

// Whatever type the encoder answers with is reported as that type, so the
// low-latency check can tell "not VT_BOOL" from "could not read".
TEST_P(CodecApiReadBack, KeepsTheEncodersTypeAndValue) {
  recording.answer.vt = GetParam().vt;
  recording.answer.llVal = GetParam().bits;
  if (GetParam().vt == VT_BOOL) {
    recording.answer.boolVal = static_cast<VARIANT_BOOL>(GetParam().bits);
  }
  auto value = codec_api->get_value(guids::codecapi_av_low_latency_mode);
  ASSERT_TRUE(value) << value.error().text();
  EXPECT_EQ(*value, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Types, CodecApiReadBack,
    ::testing::Values(
        ReadBack{"bool_true", VT_BOOL, -1, mf::Variant::boolean(true)},
        ReadBack{"bool_false", VT_BOOL, 0, mf::Variant::boolean(false)},
        ReadBack{"ui4", VT_UI4, 1, mf::Variant::ui4(1)},
        ReadBack{"ui8", VT_UI8, 0x100000000LL, mf::Variant{mf::Variant::Type::UI8, 0x100000000ull, 0}},
        ReadBack{"i4", VT_I4, 1, mf::Variant{static_cast<mf::Variant::Type>(VT_I4), 1, 0}},
        ReadBack{"empty", VT_EMPTY, 0, mf::Variant{}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CodecApiAdapterTest, TypesTheProgramCannotSendAreRefusedBeforeTheEncoder) {
  auto refused = codec_api->set_value(guids::codecapi_av_low_latency_mode,
                                      mf::Variant{static_cast<mf::Variant::Type>(VT_BSTR), 0, 0});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code(), static_cast<std::uint32_t>(DISP_E_BADVARTYPE));
  EXPECT_EQ(recording.sent.vt, VT_EMPTY);
}

TEST_F(TransformAdapterTest, RefusedCallsKeepTheTransformsCode) {
  auto info = transform->get_output_stream_info(0);
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().code(), status::e_notimpl);
  auto codec_api = transform->query_codec_api();
  ASSERT_FALSE(codec_api);
  EXPECT_EQ(codec_api.error().code(), status::e_nointerface);
}

}  // namespace
}  // namespace quorvex::platform::windows
