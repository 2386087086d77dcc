#include "platform/fake/fake_d3d11.h"

#include <map>
#include <utility>

#include "platform/thread_safety.h"

namespace quorvex::platform::fake {
namespace d = d3d11;

struct FakeD3D11::Shared {
  FaultPlan faults;
  mutable Mutex mutex;
  std::uint64_t next_id = 1;
  std::vector<d::VideoProcessorContentDesc> enumerator_descs;
  std::vector<d::Texture2DDesc> created_textures;
  std::vector<FakeD3D11::RectSetting> rect_settings;
  std::vector<d::VideoColor> background_colors;
  std::vector<FakeD3D11::ColorSetting> color_settings;
  std::vector<FakeD3D11::Blit> blits;
  std::map<d::Format, std::size_t> live_textures;
  std::size_t live_output_views = 0;
  bool multithread_protected = false;
  // The flags the device was created with; a device taken straight from
  // device() has those the fake was made with.
  std::uint32_t device_flags = d::create_device_bgra_support;
  LocallyUniqueId adapter_luid{1, 0};
  std::uint32_t removed_reason = status::ok;

  std::uint64_t new_id() {
    const MutexLock lock(mutex);
    return next_id++;
  }
};

namespace {

using Shared = FakeD3D11::Shared;

// The fake's texts do not depend on the installed platform.
std::unexpected<Error> fail(std::uint32_t code) { return std::unexpected(Error(code, standard_status_message(code))); }

// The outcome a fault plan decided, for calls that hand back an object.
template <class T>
std::optional<Result<std::shared_ptr<T>>> scripted(Shared& shared, std::string_view operation) {
  const auto decision = shared.faults.on_call(operation);
  if (decision.outcome == FaultPlan::Outcome::Fail) {
    return Result<std::shared_ptr<T>>(fail(decision.code));
  }
  if (decision.outcome == FaultPlan::Outcome::Empty) {
    return Result<std::shared_ptr<T>>(std::shared_ptr<T>());
  }
  return std::nullopt;
}

class FakeResource final : public d::Resource {
 public:
  explicit FakeResource(std::uint64_t texture) : texture_id(texture) {}
  std::uint64_t texture_id;
};

class FakeTexture final : public d::Texture2D {
 public:
  FakeTexture(std::shared_ptr<Shared> shared, d::Texture2DDesc desc)
      : shared_(std::move(shared)), desc_(desc), id_(shared_->new_id()) {
    const MutexLock lock(shared_->mutex);
    ++shared_->live_textures[desc_.format];
  }
  ~FakeTexture() override {
    const MutexLock lock(shared_->mutex);
    --shared_->live_textures[desc_.format];
  }
  d::Texture2DDesc get_desc() override { return desc_; }
  Result<std::shared_ptr<d::Resource>> query_resource() override {
    if (auto s = scripted<d::Resource>(*shared_, "query_resource")) {
      return *s;
    }
    return std::make_shared<FakeResource>(id_);
  }
  [[nodiscard]] std::uint64_t id() const { return id_; }

 private:
  std::shared_ptr<Shared> shared_;
  d::Texture2DDesc desc_;
  std::uint64_t id_;
};

class FakeEnumerator final : public d::VideoProcessorEnumerator {};

class FakeProcessor final : public d::VideoProcessor {
 public:
  explicit FakeProcessor(std::uint64_t id_) : id(id_) {}
  std::uint64_t id;
  std::optional<Rect> source_rect;  // guarded by Shared::mutex
  std::optional<Rect> dest_rect;
};

class FakeOutputView final : public d::VideoProcessorOutputView {
 public:
  FakeOutputView(std::shared_ptr<Shared> shared, std::uint64_t texture) : shared_(std::move(shared)), texture_id(texture) {
    const MutexLock lock(shared_->mutex);
    ++shared_->live_output_views;
  }
  ~FakeOutputView() override {
    const MutexLock lock(shared_->mutex);
    --shared_->live_output_views;
  }

 private:
  std::shared_ptr<Shared> shared_;

 public:
  std::uint64_t texture_id;
};

class FakeInputView final : public d::VideoProcessorInputView {
 public:
  explicit FakeInputView(std::uint64_t texture) : texture_id(texture) {}
  std::uint64_t texture_id;
};

std::uint64_t resource_texture(d::Resource& resource) {
  auto* fake = dynamic_cast<FakeResource*>(&resource);
  return fake != nullptr ? fake->texture_id : 0;
}

class FakeVideoDevice final : public d::VideoDevice {
 public:
  explicit FakeVideoDevice(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  Result<std::shared_ptr<d::VideoProcessorEnumerator>> create_video_processor_enumerator(
      const d::VideoProcessorContentDesc& desc) override {
    {
      const MutexLock lock(shared_->mutex);
      shared_->enumerator_descs.push_back(desc);
    }
    if (auto s = scripted<d::VideoProcessorEnumerator>(*shared_, "create_video_processor_enumerator")) {
      return *s;
    }
    return std::make_shared<FakeEnumerator>();
  }
  Result<std::shared_ptr<d::VideoProcessor>> create_video_processor(d::VideoProcessorEnumerator&,
                                                                    std::uint32_t) override {
    if (auto s = scripted<d::VideoProcessor>(*shared_, "create_video_processor")) {
      return *s;
    }
    return std::make_shared<FakeProcessor>(shared_->new_id());
  }
  Result<std::shared_ptr<d::VideoProcessorOutputView>> create_video_processor_output_view(
      d::Resource& resource, d::VideoProcessorEnumerator&, const d::VideoProcessorOutputViewDesc&) override {
    if (auto s = scripted<d::VideoProcessorOutputView>(*shared_, "create_video_processor_output_view")) {
      return *s;
    }
    return std::make_shared<FakeOutputView>(shared_, resource_texture(resource));
  }
  Result<std::shared_ptr<d::VideoProcessorInputView>> create_video_processor_input_view(
      d::Resource& resource, d::VideoProcessorEnumerator&, const d::VideoProcessorInputViewDesc&) override {
    if (auto s = scripted<d::VideoProcessorInputView>(*shared_, "create_video_processor_input_view")) {
      return *s;
    }
    return std::make_shared<FakeInputView>(resource_texture(resource));
  }

 private:
  std::shared_ptr<Shared> shared_;
};

class FakeVideoContext final : public d::VideoContext {
 public:
  explicit FakeVideoContext(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  void video_processor_set_stream_source_rect(d::VideoProcessor& processor, std::uint32_t, bool enable,
                                              const Rect& rect) override {
    set_rect(processor, true, enable, rect);
  }
  void video_processor_set_stream_dest_rect(d::VideoProcessor& processor, std::uint32_t, bool enable,
                                            const Rect& rect) override {
    set_rect(processor, false, enable, rect);
  }
  void video_processor_set_output_background_color(d::VideoProcessor&, bool, const d::VideoColor& color) override {
    const MutexLock lock(shared_->mutex);
    shared_->background_colors.push_back(color);
  }
  void video_processor_set_stream_color_space(d::VideoProcessor& processor, std::uint32_t stream_index,
                                              const d::VideoProcessorColorSpace& color_space) override {
    record({0, Call::StreamColorSpace, stream_index, color_space, false}, processor);
  }
  void video_processor_set_output_color_space(d::VideoProcessor& processor,
                                              const d::VideoProcessorColorSpace& color_space) override {
    record({0, Call::OutputColorSpace, 0, color_space, false}, processor);
  }
  void video_processor_set_stream_auto_processing_mode(d::VideoProcessor& processor, std::uint32_t stream_index,
                                                       bool enable) override {
    record({0, Call::StreamAutoProcessingMode, stream_index, {}, enable}, processor);
  }
  Status video_processor_blt(d::VideoProcessor& processor, d::VideoProcessorOutputView& output_view,
                             std::uint32_t, std::span<const d::VideoProcessorStream> streams) override {
    const auto decision = shared_->faults.on_call("video_processor_blt");
    if (decision.outcome == FaultPlan::Outcome::Fail) {
      return fail(decision.code);
    }
    auto& fake = dynamic_cast<FakeProcessor&>(processor);
    FakeD3D11::Blit blit;
    blit.processor = fake.id;
    if (auto* view = dynamic_cast<FakeOutputView*>(&output_view)) {
      blit.output_texture = view->texture_id;
    }
    if (!streams.empty()) {
      if (auto* input = dynamic_cast<FakeInputView*>(streams[0].input_surface.get())) {
        blit.input_texture = input->texture_id;
      }
    }
    blit.stream_count = static_cast<std::uint32_t>(streams.size());
    const MutexLock lock(shared_->mutex);
    blit.source_rect = fake.source_rect;
    blit.dest_rect = fake.dest_rect;
    shared_->blits.push_back(blit);
    return {};
  }

 private:
  using Call = FakeD3D11::ColorSetting::Call;

  void record(FakeD3D11::ColorSetting setting, d::VideoProcessor& processor) {
    setting.processor = dynamic_cast<FakeProcessor&>(processor).id;
    const MutexLock lock(shared_->mutex);
    shared_->color_settings.push_back(setting);
  }

  void set_rect(d::VideoProcessor& processor, bool source, bool enable, const Rect& rect) {
    auto& fake = dynamic_cast<FakeProcessor&>(processor);
    const MutexLock lock(shared_->mutex);
    shared_->rect_settings.push_back(FakeD3D11::RectSetting{fake.id, source, enable, rect});
    std::optional<Rect>& slot = source ? fake.source_rect : fake.dest_rect;
    slot = enable ? std::optional<Rect>(rect) : std::nullopt;
  }

  std::shared_ptr<Shared> shared_;
};

class FakeMultithread final : public d::Multithread {
 public:
  explicit FakeMultithread(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  bool set_multithread_protected(bool protect) override {
    const MutexLock lock(shared_->mutex);
    return std::exchange(shared_->multithread_protected, protect);
  }

 private:
  std::shared_ptr<Shared> shared_;
};

class FakeDxgiDevice final : public d::DxgiDevice {
 public:
  explicit FakeDxgiDevice(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  Result<LocallyUniqueId> get_adapter_luid() override {
    if (const auto d = shared_->faults.on_call("dxgi.get_adapter_luid"); d.outcome == FaultPlan::Outcome::Fail) {
      return fail(d.code);
    }
    const MutexLock lock(shared_->mutex);
    return shared_->adapter_luid;
  }

 private:
  std::shared_ptr<Shared> shared_;
};

class FakeContext final : public d::DeviceContext {
 public:
  explicit FakeContext(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  Result<std::shared_ptr<d::VideoContext>> query_video_context() override {
    if (auto s = scripted<d::VideoContext>(*shared_, "query_video_context")) {
      return *s;
    }
    return std::make_shared<FakeVideoContext>(shared_);
  }
  Result<std::shared_ptr<d::Multithread>> query_multithread() override {
    if (auto s = scripted<d::Multithread>(*shared_, "query_multithread")) {
      return *s;
    }
    return std::make_shared<FakeMultithread>(shared_);
  }

 private:
  std::shared_ptr<Shared> shared_;
};

class FakeDevice final : public d::Device {
 public:
  explicit FakeDevice(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  Result<std::shared_ptr<d::Texture2D>> create_texture_2d(const d::Texture2DDesc& desc) override {
    {
      const MutexLock lock(shared_->mutex);
      shared_->created_textures.push_back(desc);
    }
    if (auto s = scripted<d::Texture2D>(*shared_, "create_texture_2d")) {
      return *s;
    }
    return std::make_shared<FakeTexture>(shared_, desc);
  }
  Result<std::shared_ptr<d::VideoDevice>> query_video_device() override {
    if (auto s = scripted<d::VideoDevice>(*shared_, "query_video_device")) {
      return *s;
    }
    return std::make_shared<FakeVideoDevice>(shared_);
  }
  Result<std::shared_ptr<d::DxgiDevice>> query_dxgi_device() override {
    if (auto s = scripted<d::DxgiDevice>(*shared_, "query_dxgi_device")) {
      return *s;
    }
    return std::make_shared<FakeDxgiDevice>(shared_);
  }
  Status get_device_removed_reason() override {
    if (const auto d = shared_->faults.on_call("get_device_removed_reason"); d.outcome == FaultPlan::Outcome::Fail) {
      return fail(d.code);
    }
    const MutexLock lock(shared_->mutex);
    if (shared_->removed_reason != status::ok) {
      return fail(shared_->removed_reason);
    }
    return {};
  }
  [[nodiscard]] std::uint32_t flags() const {
    const MutexLock lock(shared_->mutex);
    return shared_->device_flags;
  }

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace

FakeD3D11::FakeD3D11(std::uint32_t device_flags)
    : shared_(std::make_shared<Shared>()),
      device_(std::make_shared<FakeDevice>(shared_)),
      context_(std::make_shared<FakeContext>(shared_)) {
  shared_->device_flags = device_flags;
}

FakeD3D11::~FakeD3D11() = default;

FaultPlan& FakeD3D11::faults() { return shared_->faults; }
std::shared_ptr<d::Device> FakeD3D11::device() { return device_; }
std::shared_ptr<d::DeviceContext> FakeD3D11::context() { return context_; }

std::shared_ptr<d::Texture2D> FakeD3D11::make_texture(std::uint32_t width, std::uint32_t height, d::Format format) {
  d::Texture2DDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = format;
  return std::make_shared<FakeTexture>(shared_, desc);
}

std::uint64_t FakeD3D11::texture_id(const d::Texture2D& texture) {
  const auto* fake = dynamic_cast<const FakeTexture*>(&texture);
  return fake != nullptr ? fake->id() : 0;
}

std::vector<d::VideoProcessorContentDesc> FakeD3D11::enumerator_descs() const {
  const MutexLock lock(shared_->mutex);
  return shared_->enumerator_descs;
}
std::vector<d::Texture2DDesc> FakeD3D11::created_textures() const {
  const MutexLock lock(shared_->mutex);
  return shared_->created_textures;
}
std::vector<FakeD3D11::RectSetting> FakeD3D11::rect_settings() const {
  const MutexLock lock(shared_->mutex);
  return shared_->rect_settings;
}
std::vector<d::VideoColor> FakeD3D11::background_colors() const {
  const MutexLock lock(shared_->mutex);
  return shared_->background_colors;
}
std::vector<FakeD3D11::ColorSetting> FakeD3D11::color_settings() const {
  const MutexLock lock(shared_->mutex);
  return shared_->color_settings;
}
std::vector<FakeD3D11::Blit> FakeD3D11::blits() const {
  const MutexLock lock(shared_->mutex);
  return shared_->blits;
}
std::size_t FakeD3D11::live_textures(d::Format format) const {
  const MutexLock lock(shared_->mutex);
  const auto it = shared_->live_textures.find(format);
  return it == shared_->live_textures.end() ? 0 : it->second;
}
std::size_t FakeD3D11::live_output_views() const {
  const MutexLock lock(shared_->mutex);
  return shared_->live_output_views;
}
std::uint32_t FakeD3D11::device_flags() const {
  const MutexLock lock(shared_->mutex);
  return shared_->device_flags;
}
void FakeD3D11::set_adapter_luid(LocallyUniqueId luid) {
  const MutexLock lock(shared_->mutex);
  shared_->adapter_luid = luid;
}

void FakeD3D11::remove_device(std::uint32_t reason) {
  const MutexLock lock(shared_->mutex);
  shared_->removed_reason = reason;
}
std::optional<std::uint32_t> FakeD3D11::creation_flags(const d::Device& device) {
  if (const auto* fake = dynamic_cast<const FakeDevice*>(&device)) {
    return fake->flags();
  }
  return std::nullopt;
}

bool FakeD3D11::multithread_protected() const {
  const MutexLock lock(shared_->mutex);
  return shared_->multithread_protected;
}

Result<d::CreatedDevice> FakeD3D11::create_device(d::DriverType, std::uint32_t flags,
                                                  std::span<const d::FeatureLevel> feature_levels, std::uint32_t) {
  const auto decision = shared_->faults.on_call("create_device");
  if (decision.outcome == FaultPlan::Outcome::Fail) {
    return fail(decision.code);
  }
  {
    const MutexLock lock(shared_->mutex);
    shared_->device_flags = flags;
  }
  d::CreatedDevice created;
  if (decision.outcome == FaultPlan::Outcome::Empty) {
    return created;
  }
  created.device = device_;
  created.context = context_;
  created.feature_level = feature_levels.empty() ? d::FeatureLevel::Level_11_0 : feature_levels.front();
  return created;
}

}  // namespace quorvex::platform::fake
