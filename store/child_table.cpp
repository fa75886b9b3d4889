#include "child_table.h"

#include <cstring>

namespace xml_store {
namespace {

uint64_t load8(const char *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint32_t load4(const char *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A product carries a byte's difference only upwards: the shift brings
// the high half, where the names' last bytes land, back down.
uint64_t mix(uint64_t h, uint64_t v) {
    h = (h ^ v) * UINT64_C(0x9E3779B97F4A7C15);
    return h ^ (h >> 32);
}

bool is_named(const char *node_name, std::string_view name) {
    return std::strncmp(node_name, name.data(), name.size()) == 0 && node_name[name.size()] == 0;
}

// Eight bytes at a time, the last eight overlapping: the names of one
// element's children mostly share a prefix and differ at their end.
uint32_t hash(std::string_view name) {
    const char *p = name.data();
    const size_t n = name.size();
    uint64_t h = n;
    if (n >= 8) {
        for (size_t i = 0; i + 8 < n; i += 8) h = mix(h, load8(p + i));
        h = mix(h, load8(p + n - 8));
    } else if (n >= 4) {
        h = mix(h, (uint64_t{load4(p)} << 32) | load4(p + n - 4));
    } else {
        for (size_t i = 0; i < n; ++i) h = (h << 8) | static_cast<unsigned char>(p[i]);
        h = mix(h, 0);
    }
    h = (h ^ (h >> 33)) * UINT64_C(0xFF51AFD7ED558CCD);
    return static_cast<uint32_t>(h ^ (h >> 33));
}

}  // namespace

void ChildTable::insert(pugi::xml_node node) {
    // At most four in five slots used: probes stay short.
    if ((used_ + 1) * 5 > nodes_.size() * 4) grow();
    const char *name = node.name();
    const uint32_t h = hash(name);
    const size_t mask = nodes_.size() - 1;
    for (size_t at = h & mask;; at = (at + 1) & mask) {
        if (!nodes_[at]) {
            nodes_[at] = node.internal_object();
            hashes_[at] = h;
            ++used_;
            return;
        }
        if (hashes_[at] == h && std::strcmp(pugi::xml_node(nodes_[at]).name(), name) == 0) return;
    }
}

pugi::xml_node ChildTable::find(std::string_view name) const {
    if (nodes_.empty()) return pugi::xml_node();
    const uint32_t h = hash(name);
    const size_t mask = nodes_.size() - 1;
    for (size_t at = h & mask; nodes_[at]; at = (at + 1) & mask)
        if (hashes_[at] == h && is_named(pugi::xml_node(nodes_[at]).name(), name))
            return pugi::xml_node(nodes_[at]);
    return pugi::xml_node();
}

// Rehashes from the kept hashes: no name is read again.
void ChildTable::grow() {
    const size_t slots = nodes_.empty() ? 32 : nodes_.size() * 2;
    std::vector<pugi::xml_node_struct *> nodes(slots, nullptr);
    std::vector<uint32_t> hashes(slots);
    const size_t mask = slots - 1;
    for (size_t i = 0; i < nodes_.size(); ++i) {
        if (!nodes_[i]) continue;
        size_t at = hashes_[i] & mask;
        while (nodes[at]) at = (at + 1) & mask;
        nodes[at] = nodes_[i];
        hashes[at] = hashes_[i];
    }
    nodes_.swap(nodes);
    hashes_.swap(hashes);
}

}  // namespace xml_store
