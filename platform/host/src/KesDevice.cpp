#include "kes/KesDevice.h"

namespace Norvane {

KesDevice::KesDevice(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name)
    : KesObject(dom, id, std::move(name)), channels_(dom) {}

KesDevice::~KesDevice() = default;

}  // namespace Norvane
