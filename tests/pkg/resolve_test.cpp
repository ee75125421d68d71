// Dependency ordering: install orders and the failures with their lines.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hosted.h"
#include "resolve.h"

namespace {

struct spec_entry {
    std::string name;
    std::vector<std::string> deps;
};

std::unique_ptr<package_index> make_index(const std::vector<spec_entry>& entries) {
    auto index = std::make_unique<package_index>();
    for (const spec_entry& e : entries) {
        package_entry& p = index->packages[index->count++];
        strcpy(p.name, e.name.c_str());
        for (const std::string& d : e.deps) strcpy(p.deps[p.dep_count++], d.c_str());
    }
    return index;
}

struct resolution {
    int rc;
    std::string order;  // names joined by spaces
    std::string printed;
};

resolution resolve(const package_index& index, const char* name) {
    install_plan plan;
    memset(&plan, 0xA5, sizeof plan);
    hosted::capture_begin();
    resolution r{resolve_install_plan(&index, name, &plan), "", ""};
    r.printed = hosted::capture_end();
    for (int32_t i = 0; i < plan.count; i++) r.order += (i ? " " : "") + std::string(plan.entries[i]->name);
    return r;
}

TEST(Resolve, OrdersAndFailures) {
    struct resolve_case {
        const char* what;
        std::vector<spec_entry> index;
        const char* request;
        int rc;
        std::string order;
        std::string printed;
    };
    const resolve_case cases[] = {
        {"no dependencies", {{"a", {}}}, "a", 0, "a", ""},
        {"shared dependency", {{"app", {"first", "second"}}, {"first", {"third"}}, {"second", {"third"}}, {"third", {}}},
         "app", 0, "third first second app", ""},
        {"deep chain in deps order", {{"x", {"c", "b"}}, {"b", {"a"}}, {"c", {"a", "b"}}, {"a", {}}}, "x", 0, "a b c x", ""},
        {"duplicate dependency", {{"a", {"b", "b"}}, {"b", {}}}, "a", 0, "b a", ""},
        {"self cycle", {{"a", {"a"}}}, "a", -1, "", "install: dependency cycle at a\n"},
        {"two-cycle", {{"a", {"b"}}, {"b", {"a"}}}, "a", -1, "", "install: dependency cycle at a\n"},
        {"missing dependency deep down", {{"a", {"b"}}, {"b", {"c"}}, {"c", {"gone"}}}, "a", -1, "",
         "install: missing dependency 'gone' required by 'c'\n"},
        {"dependency in another case", {{"a", {"B"}}, {"b", {}}}, "a", -1, "", "install: missing dependency 'B' required by 'a'\n"},
        {"empty dependency name", {{"a", {""}}}, "a", -1, "", "install: missing dependency '' required by 'a'\n"},
        {"failure stops the remaining dependencies", {{"a", {"b", "c"}}, {"b", {"zz"}}, {"c", {}}}, "a", -1, "",
         "install: missing dependency 'zz' required by 'b'\n"},
        {"requested package absent", {{"a", {}}}, "A", -1, "", "install: package not found in index: A\n"},
        {"empty request", {{"", {}}}, "", -1, "", ""},
    };
    for (const resolve_case& k : cases) {
        SCOPED_TRACE(k.what);
        auto index = make_index(k.index);
        resolution r = resolve(*index, k.request);
        EXPECT_EQ(r.rc, k.rc);
        EXPECT_EQ(r.printed, k.printed);
        if (k.rc == 0) {
            EXPECT_EQ(r.order, k.order);
        }
    }
}

TEST(Resolve, FirstOfTwoSameNamedEntriesIsUsed) {
    auto index = make_index({{"a", {"b"}}, {"b", {}}, {"b", {"nothing"}}});
    install_plan plan;
    ASSERT_EQ(resolve_install_plan(index.get(), "a", &plan), 0);
    ASSERT_EQ(plan.count, 2);
    EXPECT_EQ(plan.entries[0], &index->packages[1]);
    EXPECT_EQ(plan.entries[1], &index->packages[0]);
}

TEST(Resolve, PartialPlanAfterFailureAndFreshStartNextTime) {
    auto index = make_index({{"a", {"b", "c"}}, {"b", {}}, {"c", {"x"}}});
    install_plan plan;
    hosted::capture_begin();
    EXPECT_EQ(resolve_install_plan(index.get(), "a", &plan), -1);
    hosted::capture_end();
    ASSERT_EQ(plan.count, 1);
    EXPECT_EQ(plan.entries[0], &index->packages[1]);
    EXPECT_EQ(resolve_install_plan(index.get(), "b", &plan), 0);
    EXPECT_EQ(plan.count, 1);
}

TEST(Resolve, AllOneHundredTwentyEightEntriesFitTheWholePlan) {
    std::vector<spec_entry> chain;
    for (int i = 0; i < PKG_INDEX_MAX_PACKAGES; i++) chain.push_back({"p" + std::to_string(i), {}});
    for (int i = 0; i + 1 < PKG_INDEX_MAX_PACKAGES; i++) chain[i].deps.push_back(chain[i + 1].name);
    auto index = make_index(chain);
    resolution r = resolve(*index, "p0");
    EXPECT_EQ(r.rc, 0) << r.printed;
    EXPECT_EQ(r.order.substr(0, 9), "p127 p126");
    EXPECT_EQ(r.order.substr(r.order.size() - 3), " p0");
}

TEST(Resolve, PlanThatWouldTakeA129thEntryFails) {
    // A plan can only overflow when it was handed over already full; res_visit
    // must refuse rather than write past the end.
    auto index = make_index({{"a", {}}});
    install_plan plan{};
    plan.count = PKG_INDEX_MAX_PACKAGES;
    uint8_t marks[PKG_INDEX_MAX_PACKAGES] = {};
    hosted::capture_begin();
    EXPECT_EQ(res_visit(index.get(), 0, marks, &plan), -1);
    EXPECT_EQ(hosted::capture_end(), "install: dependency plan exceeded maximum size\n");
    EXPECT_EQ(plan.count, PKG_INDEX_MAX_PACKAGES);
}

TEST(Resolve, MissingArgumentsAndBadPositionsPrintNothing) {
    auto index = make_index({{"a", {}}});
    install_plan plan;
    hosted::capture_begin();
    EXPECT_EQ(resolve_install_plan(nullptr, "a", &plan), -1);
    EXPECT_EQ(resolve_install_plan(index.get(), nullptr, &plan), -1);
    EXPECT_EQ(resolve_install_plan(index.get(), "a", nullptr), -1);
    uint8_t marks[PKG_INDEX_MAX_PACKAGES] = {};
    EXPECT_EQ(res_visit(index.get(), 1, marks, &plan), -1);  // past `count`
    EXPECT_EQ(hosted::capture_end(), "");
}

}  // namespace
