// Placeholder so the tree builds until the model lands.
#include "pic_model.h"

namespace boardsim {
struct pic_model::impl {};
pic_model::pic_model(const pic_settings&, pic_log) : impl_(std::make_shared<impl>()) {}
void pic_model::configure(const pic_settings&) {}
void pic_model::receive(const std::uint8_t*, std::size_t, double) {}
void pic_model::transmit(double, std::vector<std::uint8_t>&) {}
void pic_model::lost(std::size_t, double) {}
void pic_model::port_b_changed(std::uint8_t, std::size_t, double) {}
pic_status pic_model::status() const { return {}; }
std::uint8_t stream_byte(std::uint64_t, std::uint64_t, std::uint64_t, unsigned) { return 0; }
}  // namespace boardsim
