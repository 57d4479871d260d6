// The command line of the uhid simulator program.
#include "sim_options.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
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
    EXPECT_FALSE(options.usb);
    EXPECT_FALSE(options.keepUncollectedInput);
}

TEST(SimOptions, AcceptsEveryOption)
{
    SimOptions options;
    std::string error;
    const Args args = {"--vid", "0xA1b2", "--pid", "ffff", "--input-bytes", "120", "--output-bytes", "4095",
                       "--silent", "--log", "/tmp/out.log", "--ready-file", "/tmp/ready",
                       "--exit-after-outputs", "3", "--usb", "--usb-dfu-class", "--realtime",
                       "--keep-uncollected-input", "--answer-delay", "250"};
    ASSERT_EQ(parseSimOptions(args, &options, &error), ParseOutcome::kRun) << error;
    EXPECT_EQ(options.device.vendorId, 0xA1B2);
    EXPECT_EQ(options.device.productId, 0xFFFF);
    EXPECT_EQ(options.device.inputDataBytes, 120);
    EXPECT_EQ(options.device.outputDataBytes, 4095);
    EXPECT_TRUE(options.device.silent);
    EXPECT_EQ(options.logPath, "/tmp/out.log");
    EXPECT_EQ(options.readyFile, "/tmp/ready");
    EXPECT_EQ(options.exitAfterOutputs, 3u);
    EXPECT_TRUE(options.usb);
    EXPECT_TRUE(options.usbDfuClass);
    EXPECT_TRUE(options.realtime);
    EXPECT_TRUE(options.keepUncollectedInput);
    EXPECT_EQ(options.answerDelayMs, 250u);
}

TEST(SimOptions, DfuDefaultsDescribeAnUpgradableTolerantDeviceWithoutFaults)
{
    SimOptions options;
    std::string error;
    ASSERT_EQ(parseSimOptions({}, &options, &error), ParseOutcome::kRun);
    const sim::DfuConfig& dfu = options.device.dfu;
    EXPECT_TRUE(dfu.enabled);
    EXPECT_TRUE(dfu.canDownload);
    EXPECT_TRUE(dfu.manifestationTolerant);
    EXPECT_EQ(dfu.transferSize, 1024);
    EXPECT_EQ(dfu.pollTimeoutMs, 5u);
    EXPECT_EQ(dfu.manifestTimeoutMs, 20u);
    EXPECT_EQ(dfu.detachTimeoutMs, 1000);
    EXPECT_TRUE(dfu.flashPath.empty());
    EXPECT_FALSE(dfu.failAtBlock);
    EXPECT_FALSE(dfu.silentAtBlock);
    EXPECT_FALSE(dfu.vanishAtBlock);
    EXPECT_FALSE(dfu.busyForever);
    EXPECT_EQ(dfu.garbage, sim::StatusGarbage::kNone);
    EXPECT_TRUE(options.reenumerateOnDetach);
}

TEST(SimOptions, AcceptsEveryDfuOption)
{
    SimOptions options;
    std::string error;
    const Args args = {"--flash", "/tmp/flash.bin", "--transfer-size", "4090", "--poll-timeout", "0",
                       "--manifest-timeout", "16777215", "--detach-timeout", "65535", "--no-download",
                       "--not-tolerant", "--no-reenumerate", "--fail-at-block", "7:15", "--stall-at-block", "12",
                       "--silent-at-block", "4294967295", "--vanish-at-block", "0", "--busy-forever",
                       "--garbage-status"};
    ASSERT_EQ(parseSimOptions(args, &options, &error), ParseOutcome::kRun) << error;
    const sim::DfuConfig& dfu = options.device.dfu;
    EXPECT_EQ(dfu.flashPath, "/tmp/flash.bin");
    EXPECT_EQ(dfu.transferSize, 4090);
    EXPECT_EQ(dfu.pollTimeoutMs, 0u);
    EXPECT_EQ(dfu.manifestTimeoutMs, 16777215u);
    EXPECT_EQ(dfu.detachTimeoutMs, 65535);
    EXPECT_FALSE(dfu.canDownload);
    EXPECT_FALSE(dfu.manifestationTolerant);
    EXPECT_FALSE(options.reenumerateOnDetach);
    EXPECT_EQ(dfu.failAtBlock, std::optional<uint32_t>(7));
    EXPECT_EQ(dfu.failStatus, 15);
    EXPECT_EQ(dfu.stallAtBlock, std::optional<uint32_t>(12));
    EXPECT_EQ(dfu.silentAtBlock, std::optional<uint32_t>(4294967295u));
    EXPECT_EQ(dfu.vanishAtBlock, std::optional<uint32_t>(0));
    EXPECT_TRUE(dfu.busyForever);
    EXPECT_EQ(dfu.garbage, sim::StatusGarbage::kStateOutOfRange);
    EXPECT_TRUE(dfu.enabled);
}

TEST(SimOptions, SmallerDfuOptions)
{
    struct Case {
        Args args;
        void (*check)(const SimOptions&);
    };
    const Case cases[] = {
        {{"--no-dfu"}, [](const SimOptions& o) { EXPECT_FALSE(o.device.dfu.enabled); }},
        {{"--short-status"},
         [](const SimOptions& o) { EXPECT_EQ(o.device.dfu.garbage, sim::StatusGarbage::kShortReport); }},
        {{"--fail-at-block", "3"},
         [](const SimOptions& o) {
             EXPECT_EQ(o.device.dfu.failAtBlock, std::optional<uint32_t>(3));
             EXPECT_EQ(o.device.dfu.failStatus, 3) << "errWRITE by default";
         }},
        {{"--fail-at-block", "0:1"},
         [](const SimOptions& o) {
             EXPECT_EQ(o.device.dfu.failAtBlock, std::optional<uint32_t>(0));
             EXPECT_EQ(o.device.dfu.failStatus, 1);
         }},
        {{"--transfer-size", "1"}, [](const SimOptions& o) { EXPECT_EQ(o.device.dfu.transferSize, 1); }},
        {{"--announce-transfer-size", "0"}, [](const SimOptions& o) { EXPECT_EQ(o.announcedTransferSize, 0); }},
        {{"--announce-transfer-size", "65535"},
         [](const SimOptions& o) { EXPECT_EQ(o.announcedTransferSize, 65535); }},
        {{"--busy-forever"}, [](const SimOptions& o) { EXPECT_EQ(o.announcedTransferSize, -1) << "the real one"; }},
    };
    for (const Case& c : cases) {
        SimOptions options;
        std::string error;
        ASSERT_EQ(parseSimOptions(c.args, &options, &error), ParseOutcome::kRun) << c.args[0] << error;
        c.check(options);
    }
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
        {{"--answer-delay", "60001"}, "--answer-delay"},
        {{"--answer-delay", "-1"}, "--answer-delay"},
        {{"--log"}, "--log needs a value"},
        {{"--vid", "1", "--pid"}, "--pid needs a value"},
        {{"--count", "2"}, "unknown option --count"},
        {{"--flash"}, "--flash needs a value"},
        {{"--flash", ""}, "--flash"},
        {{"--transfer-size", "0"}, "--transfer-size"},
        {{"--transfer-size", "4091"}, "--transfer-size"},
        {{"--transfer-size", "-5"}, "--transfer-size"},
        {{"--poll-timeout", "16777216"}, "--poll-timeout"},
        {{"--poll-timeout", "1.5"}, "--poll-timeout"},
        {{"--manifest-timeout", ""}, "--manifest-timeout"},
        {{"--detach-timeout", "65536"}, "--detach-timeout"},
        {{"--fail-at-block", "1:0"}, "--fail-at-block"},
        {{"--fail-at-block", "1:16"}, "--fail-at-block"},
        {{"--fail-at-block", "1:"}, "--fail-at-block"},
        {{"--fail-at-block", ":3"}, "--fail-at-block"},
        {{"--fail-at-block", "x"}, "--fail-at-block"},
        {{"--silent-at-block", "4294967296"}, "--silent-at-block"},
        {{"--stall-at-block", "x"}, "--stall-at-block"},
        {{"--vanish-at-block", "-1"}, "--vanish-at-block"},
        {{"--vanish-at-block"}, "--vanish-at-block needs a value"},
        {{"--announce-transfer-size", "65536"}, "--announce-transfer-size"},
        {{"--announce-transfer-size", "-1"}, "--announce-transfer-size"},
        {{"--busy-forever=1"}, "unknown option --busy-forever=1"},
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
