// The base package phase through the real package core: a small index with
// archives on the media, installed from the cache; the network is out of
// reach, so a damaged archive makes its package fail.
#include <filesystem>
#include <functional>
#include <sstream>

#include "base_packages.h"
#include "installer_fixture.h"
#include "package_install.h"

namespace qortest {
namespace {

struct sample_package {
    const char* name;
    std::vector<std::string> deps;
};

// "a" and "b" share "shared"; "c" stands alone.
const sample_package PACKAGES[] = {{"shared", {}}, {"a", {"shared"}}, {"b", {"shared"}}, {"c", {}}};

class base_packages_test : public window_fixture {
protected:
    void SetUp() override {
        window_fixture::SetUp();
        hosted::fault_add(qor::SYS_NET_RESOLVE, 1, -1, -1);
        hosted::skip_sleeps(true);
        fresh();
    }
    // An empty target holding the index, and "a", "b", "c" selected.
    void fresh() {
        select_prepared_drive(0);
        write_index_and_archives();
        installer_state_init(&state);
        state.step = STEP_INSTALL;
        state.package_count = 3;
        for (int i = 0; i < 3; ++i) {
            state.package_names[i][0] = static_cast<char>('a' + i);
            state.package_selected[i] = 1;
        }
    }
    void TearDown() override {
        hosted::skip_sleeps(false);
        window_fixture::TearDown();
    }
    // Each package's archive holds its payload "<name>.txt" for "/pkgs";
    // the index on the target names them all.
    void write_index_and_archives() {
        temp_dir payloads("payloads");
        std::string entries;
        for (const sample_package& p : PACKAGES) {
            std::string name = p.name;
            write_host_file(payloads.path() + "/" + name + "/" + name + ".txt", "payload of " + name + "\n");
            std::string archive = machine.media("installer/pkg/" + name + ".pkg");
            write_host_file(archive, "");
            ASSERT_EQ(run_command("tar -czf " + archive + " -C " + payloads.path() + "/" + name + " " + name + ".txt"),
                      0);
            std::string digest;
            ASSERT_EQ(run_command("sha256sum " + archive, &digest), 0);
            std::string deps;
            for (const std::string& d : p.deps) deps += (deps.empty() ? "\"" : ",\"") + d + "\"";
            entries += std::string(entries.empty() ? "" : ",") + "{\"name\":\"" + name +
                       "\",\"version\":\"1.0\",\"system\":true,\"url\":\"http://packages.test.invalid/" + name +
                       ".tar.gz\",\"sha256\":\"" + digest.substr(0, 64) + "\",\"install_dir\":\"/pkgs\"," +
                       "\"install_name\":\"" + name + ".txt\",\"deps\":[" + deps + "]}";
        }
        machine.write_drive_file(0, "cache/index.json", "{\"packages\":[" + entries + "]}");
    }
    int run(int32_t selected = 3) {
        return run_captured(&output, [&] { return install_base_packages(&state, selected); });
    }
    // The "install: installed NAME@1.0" lines, names only, in order.
    std::vector<std::string> installed() {
        std::vector<std::string> names;
        std::istringstream in(output);
        std::string line;
        const std::string lead = "install: installed ";
        while (std::getline(in, line))
            if (line.rfind(lead, 0) == 0) names.push_back(line.substr(lead.size(), line.find('@') - lead.size()));
        return names;
    }
    std::string output;
};

TEST_F(base_packages_test, every_plan_is_installed_in_order_with_one_step_per_selected_package) {
    package_set_confirm_mode(0);
    ASSERT_EQ(run(), 0) << output;
    // Each plan on its own: the shared dependency comes twice.
    EXPECT_EQ(installed(), (std::vector<std::string>{"shared", "a", "shared", "b", "c"}));
    for (const char* p : {"shared", "a", "b", "c"})
        EXPECT_EQ(machine.read_drive_file(0, std::string("pkgs/") + p + ".txt"), std::string("payload of ") + p + "\n");
    // The missing install directory was accepted without a question.
    EXPECT_NE(output.find("does not exist and will be created (auto-accepted)"), std::string::npos);
    EXPECT_EQ(package_set_confirm_mode(0), 0);  // asking again afterwards, as before
    EXPECT_EQ(state.progress_total, 3);
    EXPECT_EQ(state.progress_done, 3);
    EXPECT_EQ(state.progress_permille, 1000);
    EXPECT_STREQ(state.status_text, "Installing package 3/3");
    EXPECT_STREQ(state.detail_text, "c");
    EXPECT_EQ(state.step, STEP_INSTALL);
}

TEST_F(base_packages_test, a_failing_package_stops_the_phase_where_the_bar_stands_and_restores_the_mode) {
    struct {
        const char* broken;
        const char* status;
        int32_t permille;  // the bar before the failing package
        const char* message;
    } cases[] = {
        {"a", "Installing package 1/3", 0, "Package install failed: a"},
        {"shared", "Installing package 1/3", 0, "Package install failed: shared"},
        {"b", "Installing package 2/3", 333, "Package install failed: b"},
        {"c", "Installing package 3/3", 666, "Package install failed: c"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.broken);
        fresh();
        write_host_file(machine.media(std::string("installer/pkg/") + c.broken + ".pkg"), "damaged");
        state.progress_permille = 500;
        package_set_confirm_mode(0);
        EXPECT_EQ(run(), -1);
        EXPECT_EQ(package_set_confirm_mode(0), 0);
        EXPECT_STREQ(state.status_text, c.status);
        EXPECT_EQ(state.progress_permille, c.permille);
        EXPECT_STREQ(state.error_text, c.message);
        EXPECT_EQ(state.step, STEP_FAILED);
        EXPECT_NE(output.find(std::string("[installer] error: ") + c.message + "\n"), std::string::npos);
    }
}

TEST_F(base_packages_test, refusals_before_and_between_the_packages) {
    struct {
        const char* name;
        std::function<void(installer_state*, const temp_machine&)> arrange;
        const char* message;  // "" for none
    } cases[] = {
        {"no index", [](installer_state*, const temp_machine& m) { m.remove_drive_path(0, "cache/index.json"); },
         "Failed to load package index"},
        {"unknown package", [](installer_state* s, const temp_machine&) { s->package_names[1][0] = 'x'; },
         "Failed to resolve install plan: x"},
        {"empty name", [](installer_state* s, const temp_machine&) { s->package_names[2][0] = '\0'; }, ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        c.arrange(&state, machine);
        package_set_confirm_mode(0);
        EXPECT_EQ(run(), -1);
        EXPECT_EQ(package_set_confirm_mode(0), 0);  // the caller's mode stands
        EXPECT_STREQ(state.error_text, c.message);
        EXPECT_EQ(state.step, c.message[0] ? STEP_FAILED : STEP_INSTALL);
    }
}

}  // namespace
}  // namespace qortest
