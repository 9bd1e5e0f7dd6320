// The test authority of the TLS servers (ORV_TLS_CA, a Unix path, as the server starters set
// it) trusted for a whole test program: from before the first certificate chain is built to
// the end, checked gone afterwards. Once per program, at namespace scope:
//   [[maybe_unused]] const auto* const kTestRoot = orv::test::TrustTestRootForTheProgram();
#pragma once

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "tests/support/test_root.h"

namespace orv::test {

// `required`: a program run without the servers fails here (otherwise its tests skip).
// `variable` names the environment variable that holds the authority's file.
inline ::testing::Environment* TrustTestRootForTheProgram(bool required = false,
                                                          const char* variable = "ORV_TLS_CA") {
    class TestRootEnvironment : public ::testing::Environment {
       public:
        TestRootEnvironment(bool required, const char* variable)
            : required_(required), variable_(variable) {}
        void SetUp() override {
            const char* ca = std::getenv(variable_);
            if (required_) {
                ASSERT_TRUE(ca && *ca) << "no servers: run through with_servers.py --tls";
            }
            if (!ca || !*ca) return;
            file_ = "Z:" + std::string(ca);
            std::replace(file_.begin(), file_.end(), '/', '\\');
            root_ = std::make_unique<TrustedTestRoot>(file_);
            ASSERT_TRUE(root_->Added()) << root_->Error();
        }
        void TearDown() override {
            if (!root_) return;
            EXPECT_TRUE(root_->Remove()) << root_->Error();
            EXPECT_FALSE(CurrentUserRootHolds(file_)) << "the test root stayed trusted";
        }

       private:
        bool required_;
        const char* variable_;
        std::string file_;
        std::unique_ptr<TrustedTestRoot> root_;
    };
    return ::testing::AddGlobalTestEnvironment(new TestRootEnvironment(required, variable));
}

}  // namespace orv::test
