// cpu_test.cpp: the shared processor probe and its cap: the cap narrows what the codecs
// are told, never widens it past the processor, and comes back as it was.
#include <gtest/gtest.h>

#include "cpu.h"
#include "test_util.h"

TEST(Cpu, CapNarrowsAndRestores) {
    const int widest = cpu_form_available();
    EXPECT_GE(widest, CPU_PLAIN);
    EXPECT_LE(widest, CPU_AVX512);
    EXPECT_EQ(cpu_form(), widest);  // nothing capped by default
    EXPECT_EQ(cpu_bmi2(), cpu_bmi2_available());
    {
        CpuFormScope scope({CPU_PLAIN, false});
        EXPECT_EQ(cpu_form(), CPU_PLAIN);
        EXPECT_FALSE(cpu_bmi2());
        EXPECT_EQ(cpu_form_available(), widest);  // the probe itself is untouched
        CpuLimit inner = cpu_set_limit({CPU_AVX512, true});
        EXPECT_EQ(inner.form, CPU_PLAIN);
        EXPECT_FALSE(inner.bmi2);
        EXPECT_EQ(cpu_form(), widest);  // a cap above the processor gives the processor
        cpu_set_limit(inner);
    }
    EXPECT_EQ(cpu_form(), widest);
    EXPECT_EQ(cpu_bmi2(), cpu_bmi2_available());
}

TEST(Cpu, EveryFormListsEachOnceNarrowestFirst) {
    std::vector<CpuLimit> forms = every_cpu_form();
    ASSERT_FALSE(forms.empty());
    EXPECT_EQ(forms[0].form, CPU_PLAIN);
    for (size_t i = 1; i < forms.size(); i++)
        EXPECT_TRUE(forms[i].form > forms[i - 1].form || (forms[i].bmi2 && !forms[i - 1].bmi2));
    EXPECT_EQ(forms.back().form, cpu_form_available());
    EXPECT_EQ(forms.back().bmi2, cpu_bmi2_available());
    EXPECT_STREQ(cpu_form_name(CPU_AVX512), "AVX-512");
}
