// A result stays off the rows until its record is committed.
#include <gtest/gtest.h>

#include "burnstate.h"
#include "resultgate.h"

namespace {
struct Gate : ::testing::Test {
    void SetUp() override {
        resetBurnState();
        ResultGate::reset();
    }
    void TearDown() override {
        resetBurnState();
        ResultGate::reset();
    }
};
} // namespace

TEST_F(Gate, AResultWaitsForItsRecordAndIsThenPaintedOnce) {
    const uint32_t ticket = ResultGate::hold(3);
    gPortInfo[3].status = PORT_STATUS_RECOVERY;
    EXPECT_FALSE(ResultGate::shown(3).hold); // burning rows paint as usual

    EXPECT_FALSE(ResultGate::held(3));
    gPortInfo[3].status = PORT_STATUS_FAILED;
    gPortInfo[3].lastResult = PORT_STATUS_FAILED;
    EXPECT_TRUE(ResultGate::shown(3).hold);
    EXPECT_TRUE(ResultGate::held(3));
    // The device went before the record was committed.
    gPortInfo[3].status = PORT_STATUS_NONE;
    EXPECT_TRUE(ResultGate::shown(3).hold);

    ResultGate::release(3, ticket);
    EXPECT_FALSE(ResultGate::held(3));
    // Painted once as the result itself, then as the engine says.
    ResultGate::Shown s = ResultGate::shown(3);
    EXPECT_FALSE(s.hold);
    EXPECT_EQ(s.status, PORT_STATUS_FAILED);
    s = ResultGate::shown(3);
    EXPECT_EQ(s.status, PORT_STATUS_NONE);
    EXPECT_EQ(s.lastResult, PORT_STATUS_FAILED);
}

TEST_F(Gate, AnOlderBurnsReleaseDoesNotOpenANewerBurnsGate) {
    const uint32_t first = ResultGate::hold(0);
    const uint32_t second = ResultGate::hold(0);
    EXPECT_NE(first, second);
    gPortInfo[0].status = PORT_STATUS_SUCCESS;
    ResultGate::release(0, first);
    EXPECT_TRUE(ResultGate::shown(0).hold);
    ResultGate::release(0, second);
    EXPECT_FALSE(ResultGate::shown(0).hold);
    // Other ports never held anything.
    gPortInfo[1].status = PORT_STATUS_SUCCESS;
    EXPECT_FALSE(ResultGate::shown(1).hold);
}

TEST_F(Gate, ADroppedBurnHoldsNothing) {
    ResultGate::hold(2);
    ResultGate::drop(2);
    gPortInfo[2].status = PORT_STATUS_FAILED;
    EXPECT_FALSE(ResultGate::shown(2).hold);
    EXPECT_EQ(ResultGate::shown(2).status, PORT_STATUS_FAILED);
}
