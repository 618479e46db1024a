// SPDX-License-Identifier: MIT
// Writes the TOKEN files that the reader tests load, converts them in one
// run of ravlox, and writes expected.txt: for every MAT-file the variables
// that GNU Octave, scipy and matdump must find in it, in order, with their
// exact values.
//   usage: readers_fixtures DIR RAVLOX
//
// expected.txt is plain text, one item per line:
//   file NAME.mat NVARS
//   VAR int16 ROWS v1 v2 ...     (values in decimal)
//   VAR single ROWS b1 b2 ...    (values as the 8 hex digits of their bits)
// Every variable is a column: ROWS x 1.
//
// The expected values are the ones the conversion rules give, worked out
// here by hand for each fixture (calibration figures, rate) or from the
// sample scaling rule (token samples), not taken from the program.
#include "support/run.h"
#include "support/tokbuild.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

// The figures a file's last token yields.
struct figs {
    int16_t reps;
    float ppc, vpc;
};

struct fixture {
    std::string name; // the TOKEN file is name.cal, its MAT-file name.mat
    tspec s;
    float rate;
    std::optional<figs> last; // unset: no token, the figures carry over
};

const float vpc_full = (float)(1.0 / 3276.7); // full scale: 10 V at 32767

// ravlox writes every not-a-number as the one positive quiet NaN, whatever
// sign and payload the arithmetic gave it.
float runtime_nan()
{
    return std::bit_cast<float>(0x7fc00000u);
}

// Samples covering the whole 16-bit range, different for every token.
std::vector<int16_t> pattern(int npts, int tok)
{
    std::vector<int16_t> v((size_t)npts);
    for (int j = 0; j < npts; j++)
        v[(size_t)j] = (int16_t)((j * 4099 + tok * 7919) % 65536 - 32768);
    return v;
}

tcar car(int npts, int tok, int32_t num, int16_t den)
{
    tcar c;
    c.samples = pattern(npts, tok);
    c.scale_num = num;
    c.scale_den = den;
    c.cal_cpv = 0.0f; // no stored calibration unless a fixture sets one
    c.cal_vpp = 0.0f;
    return c;
}

std::vector<fixture> fixtures()
{
    std::vector<fixture> fx;

    // No token, first in the run: the figures start from 0, 1 and 1.
    {
        fixture f{"none", {}, 25000.0f, std::nullopt};
        f.s.npts = 512;
        fx.push_back(f);
    }
    // Three tokens with their own scale factors (x 100, a third, x -7, so
    // 0 becomes -0); the last car's stored calibration is plausible.
    // A longer old MAT-file of the same name is replaced (see main).
    {
        fixture f{"stored", {}, 25000.0f, figs{200, 0.01f, 5e-4f}};
        f.s.npts = 300;
        f.s.cur_car = 2;
        f.s.cars = {car(300, 1, 1000, 10), car(300, 2, 1, 3), car(300, 3, -7, 1)};
        f.s.cars[0].samples[0] = 32767;
        f.s.cars[0].samples[1] = -32768;
        f.s.cars[2].samples[0] = 0;
        f.s.cars[2].samples[1] = -32768;
        f.s.cars[2].cal_cpv = 2e3f;
        f.s.cars[2].cal_vpp = 0.05f;
        fx.push_back(f);
    }
    // Tokens across a block boundary at 40 kHz; the last car's counts per
    // volt is exactly 1000, not plausible, so the fallback with a scale
    // applies: S 1000, N 10, K 50, gain 0.5 give a ppc of exactly 0.25.
    {
        fixture f{"fallback", {}, 40000.0f, figs{100, 0.25f, vpc_full}};
        f.s.rate_exp = 4;
        f.s.rate_man = 4;
        f.s.npts = 257;
        f.s.cars = {car(257, 1, 1, 1), car(257, 2, 1000, 10)};
        f.s.cars[1].nswp = 50;
        f.s.cars[1].cal_gain = 0.5f;
        f.s.cars[1].cal_cpv = 1000.0f;
        f.s.cars[1].cal_vpp = 0.05f;
        fx.push_back(f);
    }
    // Empty tokens: two 0 x 1 variables.
    {
        fixture f{"empty", {}, 25000.0f,
                  figs{-2, (float)(1.0 / 4000.0 / 0.5), (float)(1.0 / 4000.0)}};
        f.s.npts = 0;
        f.s.cars = {car(0, 1, 1, 1), car(0, 2, 1, 1)};
        f.s.cars[1].nswp = -1;
        f.s.cars[1].cal_cpv = 4000.0f;
        f.s.cars[1].cal_vpp = 0.5f;
        fx.push_back(f);
    }
    // The longest tokens a TOKEN file can describe, 32767 samples (128
    // blocks, the last one partly used); the last is unscaled (scale_den 0,
    // so vpc = ppc = 1 / 3276.7), and 2 x 16384 sweeps wrap to -32768.
    {
        fixture f{"longest", {}, 25000.0f, figs{-32768, vpc_full, vpc_full}};
        f.s.npts = 32767;
        f.s.cars = {car(32767, 1, 1, 3), car(32767, 2, 9, 0)};
        f.s.cars[1].nswp = 16384;
        fx.push_back(f);
    }
    // scale_num 0 with a positive sweeps x gain: ppc is +inf. The rate
    // 3 x 10^9 does not fit 32 bits and becomes -2^31.
    {
        fixture f{"inf", {}, -2147483648.0f, figs{6, INFINITY, vpc_full}};
        f.s.rate_exp = 9;
        f.s.rate_man = 3;
        f.s.npts = 5;
        f.s.cars = {car(5, 1, 0, 10)};
        f.s.cars[0].nswp = 3;
        f.s.cars[0].cal_gain = 2.0f;
        fx.push_back(f);
    }
    // A negative gain: 0 / (negative) is -0, and ppc is -inf.
    {
        fixture f{"minf", {}, -44100.0f, figs{6, -INFINITY, vpc_full}};
        f.s.rate_exp = 2;
        f.s.rate_man = -441;
        f.s.npts = 5;
        f.s.cars = {car(5, 1, 0, 10)};
        f.s.cars[0].nswp = 3;
        f.s.cars[0].cal_gain = -2.0f;
        fx.push_back(f);
    }
    // scale_num 0 and gain 0: ppc is 0 / 0, not a number.
    {
        fixture f{"nan", {}, 25000.0f, figs{10, runtime_nan(), vpc_full}};
        f.s.npts = 5;
        f.s.cars = {car(5, 1, 0, 10)};
        f.s.cars[0].nswp = 5;
        f.s.cars[0].cal_gain = 0.0f;
        fx.push_back(f);
    }
    // A negative token count converts no token: the figures of the file
    // before (the NaN among them) carry over. 5 x 10^-1 truncates to 0.
    {
        fixture f{"carry", {}, 0.0f, std::nullopt};
        f.s.rate_exp = -1;
        f.s.rate_man = 5;
        f.s.ntok = -3;
        f.s.npts = 10;
        fx.push_back(f);
    }
    // No sweeps with a nonzero scale: ppc is 0.
    {
        fixture f{"zero", {}, 25000.0f, figs{0, 0.0f, vpc_full}};
        f.s.npts = 3;
        f.s.cars = {car(3, 1, 5, 2)};
        f.s.cars[0].nswp = 0;
        fx.push_back(f);
    }
    return fx;
}

std::string hexbits(float v)
{
    char b[16];
    snprintf(b, sizeof b, "%08x", (unsigned)std::bit_cast<uint32_t>(v));
    return b;
}

void putint(std::string &out, const char *name, int16_t v)
{
    out += std::string(name) + " int16 1 " + std::to_string(v) + "\n";
}

void putsingle(std::string &out, const std::string &name, const std::vector<float> &v)
{
    out += name + " single " + std::to_string(v.size());
    for (float x : v) {
        out += ' ';
        out += hexbits(x);
    }
    out += "\n";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fputs("usage: readers_fixtures DIR RAVLOX\n", stderr);
        return 2;
    }
    std::string dir = argv[1], prog = argv[2];
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);

    std::vector<fixture> fx = fixtures();
    std::vector<std::string> args;
    std::string summary, expect;
    figs carried{0, 1.0f, 1.0f};
    for (const fixture &f : fx) {
        if (!writefile(dir + "/" + f.name + ".cal", tbuild(f.s))) {
            perror(dir.c_str());
            return 1;
        }
        args.push_back(f.name + ".cal");
        int ntok = f.s.ntok.value_or((int16_t)f.s.cars.size());
        summary += "File " + f.name + ".cal: ntok=" + std::to_string(ntok) +
                   ", size=" + std::to_string(f.s.npts) +
                   ", rate=" + std::to_string((long)f.rate) + "\n";

        int ntokvars = ntok > 0 ? ntok : 0;
        expect += "file " + f.name + ".mat " + std::to_string(6 + ntokvars) + "\n";
        putint(expect, "TEOAE_TOK", (int16_t)ntok);
        putsingle(expect, "rate", {f.rate});
        putint(expect, "npts", f.s.npts);
        for (int t = 0; t < ntokvars; t++) {
            const tcar &c = f.s.cars[(size_t)t];
            double scale = c.scale_den > 0 ? (double)c.scale_num / c.scale_den : 1.0;
            std::vector<float> v((size_t)f.s.npts);
            for (size_t j = 0; j < v.size(); j++)
                v[j] = (float)((j < c.samples.size() ? c.samples[j] : 0) * scale);
            putsingle(expect, "tok" + std::to_string(t + 1), v);
        }
        if (f.last)
            carried = *f.last;
        putint(expect, "reps", carried.reps);
        putsingle(expect, "ppc", {carried.ppc});
        putsingle(expect, "vpc", {carried.vpc});
    }
    summary += "\n";

    // An old, longer MAT-file under one output name: the new one must end
    // right after "vpc", or readers that read to the end fail.
    writefile(dir + "/stored.mat", std::vector<unsigned char>(100000, 0x5a));

    runres r = runprog(prog, args, dir);
    bool ok = true;
    if (r.status != 0 || r.out != summary || !r.err.empty()) {
        fprintf(stderr, "ravlox ran with status %d\n--- stdout:\n%s--- expected:\n%s--- stderr:\n%s",
                r.status, r.out.c_str(), summary.c_str(), r.err.c_str());
        ok = false;
    }
    if (!writefile(dir + "/expected.txt", std::vector<unsigned char>(expect.begin(), expect.end()))) {
        perror(dir.c_str());
        return 1;
    }
    return ok ? 0 : 1;
}
