#include "platform/Hive.h"

#include "TestEnv.h"

TEST(HiveData, EmptyParses)
{
    EXPECT_TRUE(v7::HiveData::parse({}).has_value());
}
