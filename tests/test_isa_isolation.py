"""The built module keeps each instruction set inside its own kernels.

A processor without AVX-512F must never execute an AVX-512 instruction; the
fixed module's import must be able to refuse a processor without AVX2 instead
of crashing, and the resampler must run on one with its portable kernels. So:
AVX-512 code (zmm registers, EVEX-only registers or instructions) only in the
zentrova::avx512 namespace, any VEX/EVEX code at all only in the
zentrova::avx2 and zentrova::avx512 namespaces, and everywhere else (the
portable kernels in zentrova::portable included) nothing beyond the x86-64
baseline. Checked on the disassembly of
the shipped shared objects (the module, the resampler's engine and the pool library, which is loaded with
either and runs before any processor check), since a linker may keep an inline function's AVX-512
copy for every caller.
"""
import glob
import os
import re
import shutil
import subprocess

import pytest

import zentrova
import zentrova_resample._engine
from conftest import SANITIZERS

pytestmark = pytest.mark.skipif(shutil.which("objdump") is None, reason="objdump (binutils) is not installed")

FUNC = re.compile(r"^[0-9a-f]+ <(.+)>:$")
EVEX_ONLY = re.compile(
    r"%zmm|%[xy]mm(1[6-9]|2[0-9]|3[01])\b|%k[0-7]\b|\{1to|\{%k"
    r"|\b(vpternlog|vperm[ti]2|vrndscale|vcvtusi2|vcvtt?s[sd]2usi|vcvtudq|vcvtps2udq|vcvttps2udq|vpmov[dq][bw]"
    r"|vpmovq|vpmovs|vpmovus|vcompress|vexpand|vpro[lr]|vscalef|vgetexp|vgetmant|vfixupimm|vrcp14|vrsqrt14"
    r"|vextract[if](32|64)x|vinsert[if](32|64)x|vbroadcast[if](32|64)x|vshuf[if](32|64)x|valign[dq]|k[a-z]+[bwdq]?)\b"
)
VEX_OR_EVEX = re.compile(r"^\s*[0-9a-f]+:\s+v[a-z0-9]+\b|%ymm|%zmm")
# Legacy-encoded instructions beyond the x86-64 baseline (SSE2): SSE3, SSSE3, SSE4.1, SSE4.2, POPCNT,
# LZCNT, BMI1/2, MOVBE, ADX. (tzcnt is left out: on older processors its encoding runs as bsf, which GCC
# relies on only where that gives the same result.)
BEYOND_BASELINE = re.compile(
    r"^\s*[0-9a-f]+:\s+(addsubp[sd]|h(add|sub)p[sd]|lddqu|movddup|movs[hl]dup|pabs[bwd]|palignr|ph(add|sub)(w|d|sw)"
    r"|pmaddubsw|pmulhrsw|pshufb|psign[bwd]|blendv?p[sd]|pblend(vb|w)|dpp[sd]|extractps|insertps|movntdqa|mpsadbw"
    r"|packusdw|pcmp(eq|gt)q|pextr[bdq]|phminposuw|pinsr[bdq]|pm(ax|in)(s[bd]|u[wd])|pmov[sz]x[bwd][wdq]|pmuldq"
    r"|pmulld|ptest|round[ps][sd]|pcmp[ei]str[im]|(crc32|popcnt|lzcnt|andn|bextr|blsi|blsmsk|blsr|bzhi|pdep|pext"
    r"|mulx|rorx|sarx|shlx|shrx|movbe|adcx|adox)[bwlq]?)(\s|$)"
)


def owner(demangled):
    """The qualified name of a function, without return type, arguments or template arguments."""
    head = re.sub(r"__vector\(\d+\)", "", demangled).split("(")[0]  # a vector return type has brackets too
    while True:
        stripped = re.sub(r"<[^<>]*>", "", head)
        if stripped == head:
            break
        head = stripped
    return head.split()[-1] if head.split() else head


POOL_LIBRARY = glob.glob(os.path.join(os.path.dirname(zentrova_resample._engine.__file__), "libzentrova_pool*.so*"))
MODULES = {"zentrova": zentrova.__file__, "zentrova_resample._engine": zentrova_resample._engine.__file__,
           "libzentrova_pool": POOL_LIBRARY[0] if len(POOL_LIBRARY) == 1 else None}


def test_one_pool_library_beside_the_engine():
    assert len(POOL_LIBRARY) == 1, POOL_LIBRARY


@pytest.fixture(scope="module", params=list(MODULES))
def functions(request):
    if MODULES[request.param] is None:
        pytest.skip("no single pool library to read (test_one_pool_library_beside_the_engine fails)")
    out = subprocess.run(
        ["objdump", "-d", "-C", "--no-show-raw-insn", MODULES[request.param]],
        check=True, capture_output=True, text=True,
    ).stdout
    funcs, name = {}, None
    for line in out.splitlines():
        m = FUNC.match(line)
        if m:
            name = m.group(1)
            funcs.setdefault(name, [])
        elif name is not None and line.strip():
            funcs[name].append(line)
    assert funcs, "no functions found in the disassembly"
    return request.param, funcs


def offenders(functions, pattern, allowed_prefixes):
    bad = {}
    for name, lines in functions.items():
        if owner(name).startswith(allowed_prefixes):
            continue
        # the instruction only: not objdump's "# address <symbol>" comments, whose names could match
        hits = [ln.strip() for ln in lines if pattern.search(re.sub(r"<[^>]*>", "", ln.split("#")[0]))]
        if hits:
            bad[name] = hits[:3]
    return bad


def test_avx512_code_only_in_avx512_namespace(functions):
    assert offenders(functions[1], EVEX_ONLY, ("zentrova::avx512::",)) == {}


def test_avx_code_only_in_kernel_namespaces(functions):
    assert offenders(functions[1], VEX_OR_EVEX, ("zentrova::avx2::", "zentrova::avx512::")) == {}


def test_other_code_stays_at_the_baseline(functions):
    assert offenders(functions[1], BEYOND_BASELINE, ("zentrova::avx2::", "zentrova::avx512::")) == {}


def test_kernels_are_really_vectorised(functions):
    """Guards the two tests above against a disassembly they fail to read: the modules' kernels use the wide
    registers; the pool library holds the pool and no kernel at all."""
    name, functions = functions
    kernels = {isa: [n for n in functions if owner(n).startswith(f"zentrova::{isa}::")] for isa in ("avx2", "avx512")}
    if name == "libzentrova_pool":
        assert kernels == {"avx2": [], "avx512": []}
        pool = [n for n in functions if owner(n).startswith("zentrova::parallel::")]
        assert any(owner(n) == "zentrova::parallel::for_each" and functions[n] for n in pool), pool
        return
    assert any("%zmm" in ln for n in kernels["avx512"] for ln in functions[n])
    assert any("%ymm" in ln for n in kernels["avx2"] for ln in functions[n])
    assert "PyInit_zentrova" in functions or "PyInit__engine" in functions
    if name == "zentrova_resample._engine":  # the portable kernels are there, for the tests above to read
        portable = {owner(n) for n in functions if owner(n).startswith("zentrova::portable::")}
        assert "zentrova::portable::resample::run_lanes" in portable, sorted(portable)[:20]
        assert "zentrova::portable::spline::filter" in portable, sorted(portable)[:20]


def test_no_gathers_and_no_mask_registers(functions):
    """No gathers anywhere (the corner reads are scalar or run loads). The fixed module's 16-lane kernels
    need AVX-512F alone, without masked operations; GCC may park a general register's value in a mask
    register when registers run short (kmovw between the two, an AVX-512F instruction): that is a copy,
    not a masked operation. The resampler's kernels may mask (AVX-512F's masked broadcasts fill a group
    of lanes)."""
    if functions[0] == "zentrova" and "asan" in SANITIZERS:
        # The linker drops the resampler's kernels from the fixed module only while nothing refers to
        # them: AddressSanitizer's registration of the module's globals reaches the kernel tables.
        pytest.skip("with AddressSanitizer the fixed module keeps the resampler's kernels (never called there)")
    pattern = re.compile(r"gather|%k[0-7]\b|\{%k" if functions[0] == "zentrova" else r"gather")
    spill = re.compile(r"^\s*[0-9a-f]+:\s+kmovw\s+(%[re]?[a-z0-9]+d?,%k[0-7]|%k[0-7],%[re]?[a-z0-9]+d?)\s*$")
    kept = {name: [ln for ln in lines if not spill.match(ln.split("#")[0])] for name, lines in functions[1].items()}
    assert offenders(kept, pattern, ()) == {}
