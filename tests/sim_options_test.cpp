// The command line of the uhid simulator program.
#include "sim_options.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using sim::ParseOutcome;
using sim::SimOptions;
using sim::parseSimOptions;

namespace {

using Args = std::vector<std::string>;

TEST(SimOptions, DefaultsDescribeTheStandardDevice)
{
    SimOptions options;
    std::string error;
    ASSERT_EQ(parseSimOptions({}, &options, &error), ParseOutcome::kRun);
    EXPECT_EQ(options.device.vendorId, 0x1234);
    EXPECT_EQ(options.device.productId, 0x5678);
    EXPECT_EQ(options.device.inputDataBytes, 64);
    EXPECT_EQ(options.device.outputDataBytes, 64);
    EXPECT_EQ(options.device.replies, (std::map<std::string, std::string>{{"version", "1.0.0"}}));
    EXPECT_FALSE(options.device.silent);
    EXPECT_TRUE(options.logPath.empty());
    EXPECT_TRUE(options.readyFile.empty());
    EXPECT_EQ(options.exitAfterOutputs, 0u);
}

TEST(SimOptions, AcceptsEveryOption)
{
    SimOptions options;
    std::string error;
    const Args args = {"--vid", "0xA1b2", "--pid", "ffff", "--input-bytes", "120", "--output-bytes", "4095",
                       "--silent", "--log", "/tmp/out.log", "--ready-file", "/tmp/ready",
                       "--exit-after-outputs", "3"};
    ASSERT_EQ(parseSimOptions(args, &options, &error), ParseOutcome::kRun) << error;
    EXPECT_EQ(options.device.vendorId, 0xA1B2);
    EXPECT_EQ(options.device.productId, 0xFFFF);
    EXPECT_EQ(options.device.inputDataBytes, 120);
    EXPECT_EQ(options.device.outputDataBytes, 4095);
    EXPECT_TRUE(options.device.silent);
    EXPECT_EQ(options.logPath, "/tmp/out.log");
    EXPECT_EQ(options.readyFile, "/tmp/ready");
    EXPECT_EQ(options.exitAfterOutputs, 3u);
}

TEST(SimOptions, RepliesReplaceTheDefaultTable)
{
    SimOptions options;
    std::string error;
    const Args args = {"--reply", "serial=A=1", "--reply", "empty=", "--reply", "serial=B"};
    ASSERT_EQ(parseSimOptions(args, &options, &error), ParseOutcome::kRun) << error;
    const std::map<std::string, std::string> expected = {{"serial", "B"}, {"empty", ""}};
    EXPECT_EQ(options.device.replies, expected);
}

TEST(SimOptions, ReplyTextMayHoldEqualsSigns)
{
    SimOptions options;
    std::string error;
    ASSERT_EQ(parseSimOptions({"--reply", "version=a=b"}, &options, &error), ParseOutcome::kRun);
    EXPECT_EQ(options.device.replies.at("version"), "a=b");
}

TEST(SimOptions, HelpWins)
{
    SimOptions options;
    std::string error;
    EXPECT_EQ(parseSimOptions({"--vid", "1", "--help"}, &options, &error), ParseOutcome::kHelp);
}

TEST(SimOptions, RefusesBadCommandLines)
{
    struct Case {
        Args args;
        const char* errorMentions;
    };
    const Case cases[] = {
        {{"--vid", "10000"}, "--vid"},
        {{"--vid", "12g4"}, "--vid"},
        {{"--vid", "0x"}, "--vid"},
        {{"--vid", ""}, "--vid"},
        {{"--pid", "-1"}, "--pid"},
        {{"--input-bytes", "0"}, "--input-bytes"},
        {{"--input-bytes", "4096"}, "--input-bytes"},
        {{"--output-bytes", "0x40"}, "--output-bytes"},
        {{"--output-bytes", "99999999999"}, "--output-bytes"},
        {{"--reply", "version"}, "--reply"},
        {{"--reply", "=text"}, "--reply"},
        {{"--exit-after-outputs", "0"}, "--exit-after-outputs"},
        {{"--log"}, "--log needs a value"},
        {{"--vid", "1", "--pid"}, "--pid needs a value"},
        {{"--count", "2"}, "unknown option --count"},
        {{"1234"}, "unknown option 1234"},
    };
    for (const Case& c : cases) {
        SimOptions options;
        std::string error;
        EXPECT_EQ(parseSimOptions(c.args, &options, &error), ParseOutcome::kError) << c.args[0];
        EXPECT_NE(error.find(c.errorMentions), std::string::npos) << error;
    }
}

} // namespace
