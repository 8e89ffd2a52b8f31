// A test of the connectors in this process: fresh default settings saved into a temporary folder, the connector
// flags cleared, and the registry emptied afterwards (its connectors let go after the lock is released, as the
// program itself does).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>

#include "common/agent_settings.h"
#include "common/process_state.h"
#include "connectors/connector_registry.h"
#include "fixtures/temp_folder.h"

struct connector_state_test : ::testing::Test {
    temp_folder folder;
    void SetUp() override {
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        agent_state.settings_path = folder / "settings.json";
        agent_state.settings = default_settings();
        agent_state.kept_secrets.clear();
        agent_state.connectors_started = false;
        agent_state.connectors_starting = false;
    }
    void TearDown() override {
        std::map<std::string, connector_ptr> dropped;
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        dropped.swap(agent_connectors().connectors);
        agent_connectors().index.clear();
    }
};
