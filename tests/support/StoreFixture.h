#pragma once

#include "FileVersionStore.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <string>

namespace strataloom::test {

// A test with the store of its own environment and a folder for documents.
class StoreFixture : public testing::Test {
protected:
    FileVersionStore store;
    std::string location = store.location();
    std::string documents = makeScratchFolder("documents");
};

} // namespace strataloom::test
