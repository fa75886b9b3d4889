#include "child_index.h"

#include <cstring>
#include <numeric>

#include "text.h"

namespace xml_store {
namespace {

constexpr size_t kIndexedChildren = 16;

// FNV-1a: a multiply a byte, which for names of a dozen characters costs
// less than the calls of a general hash.
constexpr uint32_t kFnvBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;

uint32_t hash_of(std::string_view name) {
    return std::accumulate(name.begin(), name.end(), kFnvBasis, [](uint32_t hash, char c) {
        return (hash ^ static_cast<unsigned char>(c)) * kFnvPrime;
    });
}

// The same for a parsed name, measured on the way.
uint32_t hash_of(const char *name) {
    uint32_t hash = kFnvBasis;
    for (; *name; ++name) hash = (hash ^ static_cast<unsigned char>(*name)) * kFnvPrime;
    return hash;
}

uint8_t tag_of(uint32_t hash) {
    return static_cast<uint8_t>(hash >> 24);  // the bits the slot number lacks
}

bool has_more_elements_than(pugi::xml_node parent, size_t count) {
    size_t elements = 0;
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling())
        if (child.type() == pugi::node_element && ++elements > count) return true;
    return false;
}

const char *name_of(pugi::xml_node_struct *node) {
    return pugi::xml_node(node).name();
}

}  // namespace

std::optional<ChildIndex> ChildIndex::build(pugi::xml_node parent, std::vector<Child> &children) {
    if (!has_more_elements_than(parent, kIndexedChildren)) return std::nullopt;

    // One walk over the children, whose count sizes the table.
    ChildIndex index;
    index.has_text_ = xml_store::has_text(parent.value());
    children.clear();
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
        const pugi::xml_node_type type = child.type();
        if (type == pugi::node_element)
            children.push_back({child.internal_object(), hash_of(child.name())});
        else if (type == pugi::node_pcdata || type == pugi::node_cdata)
            index.has_text_ |= xml_store::has_text(child.value());
    }

    size_t slots = 1;
    while (slots < children.size() + children.size() / 2) slots *= 2;  // at most two thirds full
    index.slots_.assign(slots, nullptr);
    index.tags_.assign(slots, 0);
    const size_t mask = slots - 1;
    for (const Child &child : children) {
        const uint8_t tag = tag_of(child.hash);
        size_t at = child.hash & mask;
        while (index.slots_[at] &&
               (index.tags_[at] != tag ||
                std::strcmp(name_of(index.slots_[at]), name_of(child.node)) != 0))
            at = (at + 1) & mask;
        if (index.slots_[at]) continue;  // the first of its name stays
        index.slots_[at] = child.node;
        index.tags_[at] = tag;
    }
    return index;
}

pugi::xml_node ChildIndex::find(std::string_view name) const {
    const uint32_t hash = hash_of(name);
    const uint8_t tag = tag_of(hash);
    const size_t mask = slots_.size() - 1;
    for (size_t at = hash & mask; slots_[at]; at = (at + 1) & mask) {
        if (tags_[at] != tag) continue;
        // Stops at the first difference without measuring the parsed name.
        const char *slot_name = name_of(slots_[at]);
        if (std::strncmp(slot_name, name.data(), name.size()) == 0 &&
            slot_name[name.size()] == '\0')
            return pugi::xml_node(slots_[at]);
    }
    return {};
}

}  // namespace xml_store
