// cpu.h: the one processor probe behind every codec's choice of vector form, and the one
// switch that narrows it, so that each form can be checked against the plain code.
#ifndef FOLIAN_CPU_H
#define FOLIAN_CPU_H

// Vector forms, narrowest first; each includes the ones before it. CPU_PLAIN is the
// portable code without intrinsics or target attributes (on x86-64 the compiler may still
// use SSE2 registers for it, as for any code).
enum CpuForm : int { CPU_PLAIN = 0, CPU_SSE2 = 1, CPU_AVX2 = 2, CPU_AVX512 = 3 };

// What the codecs may use: the widest form that both the processor and this build offer,
// capped by cpu_set_limit. AVX-512 here means the F, VL, BW and DQ subsets together.
int cpu_form();
// Whether code compiled for BMI2 may run: the processor has it and it is not switched off.
bool cpu_bmi2();

// What the processor offers, whatever the cap: the widest form and BMI2.
int cpu_form_available();
bool cpu_bmi2_available();

// The cap: no form wider than `form`, and BMI2 only when `bmi2` is set. The default
// (CPU_AVX512, true) leaves everything the processor has. Returns the previous cap.
// For tests and benchmarks; not for use while another thread runs a codec.
struct CpuLimit {
    int form;
    bool bmi2;
};
CpuLimit cpu_set_limit(CpuLimit limit);

// "plain", "SSE2", "AVX2" or "AVX-512", for messages.
const char *cpu_form_name(int form);

// The cores this process may run on (its affinity mask where the system has one); at least 1.
int cpu_usable_cores();

#endif
