// The index of a crowded element finds the first child of every name, and
// only those, whatever the names look like.
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <optional>
#include <string>
#include <vector>

#include "child_index.h"

namespace {

// Names of every length from one character to past three words, some alike
// but for one byte in the middle, some not ASCII.
std::vector<std::string> varied_names() {
    std::vector<std::string> names;
    for (int i = 0; i < 3000; ++i) {
        std::string name = "K" + std::to_string(i);
        if (i % 3 == 1) name = "LONG_NAME_" + std::to_string(i) + "_SAME_END";
        if (i % 3 == 2) name = std::string(1 + i % 29, 'n') + "\xC3\xA9" + std::to_string(i);
        names.push_back(name);
    }
    return names;
}

TEST(ChildIndex, FindsTheFirstChildOfEachName) {
    const std::vector<std::string> names = varied_names();
    std::string text = "<S>";
    for (const std::string &name : names) text += "<" + name + ">first</" + name + ">";
    for (const std::string &name : names) text += "<" + name + ">second</" + name + ">";
    text += "</S>";
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(text.c_str()));

    std::vector<xml_store::ChildIndex::Child> room;
    const std::optional<xml_store::ChildIndex> index =
        xml_store::ChildIndex::build(doc.document_element(), room);
    ASSERT_TRUE(index.has_value());
    EXPECT_FALSE(index->has_text());
    for (const std::string &name : names) {
        const pugi::xml_node found = index->find(name);
        ASSERT_TRUE(found) << name;
        EXPECT_STREQ(found.name(), name.c_str());
        EXPECT_STREQ(found.child_value(), "first") << name;
    }
    for (const char *missing : {"", "K", "K3000", "LONG_NAME_1_SAME_EN", "LONG_NAME_1_SAME_END_"})
        EXPECT_FALSE(index->find(missing)) << missing;
}

TEST(ChildIndex, OnlyForCrowdedElementsAndItSeesTheTextBetween) {
    pugi::xml_document doc;
    std::string few = "<S>";
    for (int i = 0; i < 16; ++i) few += "<K" + std::to_string(i) + "/>";
    ASSERT_TRUE(doc.load_string((few + "</S>").c_str()));
    std::vector<xml_store::ChildIndex::Child> room;
    EXPECT_FALSE(xml_store::ChildIndex::build(doc.document_element(), room).has_value());

    ASSERT_TRUE(doc.load_string((few + "<K16/> text </S>").c_str()));
    const auto index = xml_store::ChildIndex::build(doc.document_element(), room);
    ASSERT_TRUE(index.has_value());
    EXPECT_TRUE(index->has_text());
    EXPECT_TRUE(index->find("K16"));
}

}  // namespace
