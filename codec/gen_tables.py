#!/usr/bin/env python3
"""Generate codec/tables.h and codec/tables.cpp from the ITU-T G.729 numeric tables.

Usage: codec/gen_tables.py [TABLES_TXT] [OUT_DIR]
Defaults: /work/shared/codec-tables/g729a-tables.txt and the folder of this script.

The input holds blocks "table NAME ROWS COLS" followed by ROWS lines of COLS numbers.
Numbers are copied with their digits as written so that the compiled doubles equal
the published ones; only the layout of each array is decided here. The parameter
widths (bitsno) are left to codec/bitstream.h, which owns the frame layout.
"""
import math
import os
import sys

# name in the input -> (C++ name, element type, C++ dimensions, comment)
TABLES = [
    ("hamwindow", "kLpWindow", "double", [240], "LP analysis window"),
    ("lwindow", "kLagWindow", "double", [11],
     "lag window; entry 0 is the white-noise correction applied to r[0]"),
    ("lspcb1", "kLspCb1", "double", [128, 10], "first-stage LSF codebook L1 (radians)"),
    ("lspcb2", "kLspCb2", "double", [32, 10],
     "second-stage LSF codebook: columns 0-4 are L2, columns 5-9 are L3"),
    ("fg", "kMaPredictor", "double", [2, 4, 10],
     "switched MA predictors of the LSF quantiser [mode][order-1][coefficient]"),
    ("fg_sum", "kMaPredictorSum", "double", [2, 10], "1 - sum of the four predictor coefficients"),
    ("fg_sum_inv", "kMaPredictorSumInv", "double", [2, 10], "reciprocals of kMaPredictorSum"),
    ("grid", "kLspGrid", "double", [51], "cosine grid of the LSP root search"),
    ("freq_prev_reset", "kLsfReset", "double", [10], "LSF reset vector, (i+1)*pi/11"),
    ("lsp_old_init", "kLspInit", "double", [10], "initial previous LSPs (cosine domain)"),
    ("inter_3l", "kB30", "double", [31], "1/3-resolution adaptive-codebook interpolation filter"),
    ("pred", "kGainPredictor", "double", [4], "MA energy predictor of the code gain"),
    ("gbk1", "kGainCbA", "double", [8, 2], "gain codebook GA (pitch part, code-factor part)"),
    ("gbk2", "kGainCbB", "double", [16, 2], "gain codebook GB (pitch part, code-factor part)"),
    ("map1", "kGainMapA", "int", [8], "GA codebook row -> transmitted index"),
    ("map2", "kGainMapB", "int", [16], "GB codebook row -> transmitted index"),
    ("imap1", "kGainInvMapA", "int", [8], "transmitted GA index -> codebook row"),
    ("imap2", "kGainInvMapB", "int", [16], "transmitted GB index -> codebook row"),
    ("coef", "kGainPreselCoef", "double", [2, 2], "gain pre-selection coefficients K"),
    ("thr1", "kGainThresholdA", "double", [4], "GA pre-selection thresholds"),
    ("thr2", "kGainThresholdB", "double", [8], "GB pre-selection thresholds"),
    ("b100", "kPostHpB", "double", [3], "post-processing high-pass numerator (100 Hz)"),
    ("a100", "kPostHpA", "double", [3],
     "post-processing high-pass denominator: y += a[1]*y[n-1] + a[2]*y[n-2]"),
    ("b140", "kPreHpB", "double", [3], "pre-processing high-pass numerator (140 Hz)"),
    ("a140", "kPreHpA", "double", [3],
     "pre-processing high-pass denominator: y += a[1]*y[n-1] + a[2]*y[n-2]"),
    ("past_qua_en_init", "kPastEnergyInit", "double", [4],
     "load-time past quantised energies (dB)"),
]


def parse(path):
    tables = {}
    with open(path, encoding="ascii") as f:
        lines = [ln.strip() for ln in f]
    i = 0
    while i < len(lines):
        ln = lines[i]
        i += 1
        if not ln or ln.startswith("#"):
            continue
        parts = ln.split()
        if parts[0] != "table" or len(parts) != 4:
            raise SystemExit(f"unexpected line {i}: {ln}")
        name, rows, cols = parts[1], int(parts[2]), int(parts[3])
        values = []
        while len(values) < rows * cols:
            row = lines[i].split()
            i += 1
            if len(row) != cols:
                raise SystemExit(f"table {name}: row of {len(row)} values, expected {cols}")
            values.extend(row)
        tables[name] = values
    return tables


def literal(text, ctype):
    if ctype == "int":
        return str(int(text))
    v = float(text)  # validates the number
    del v
    t = text
    if "." not in t and "e" not in t.lower():
        t += ".0"
    return t


def emit_values(values, dims, ctype, indent):
    if len(dims) == 1:
        items = [literal(v, ctype) for v in values]
        out, line = [], indent
        for it in items:
            piece = it + ", "
            if len(line) + len(piece) > 99:
                out.append(line.rstrip())
                line = indent
            line += piece
        out.append(line.rstrip())
        return out
    step = len(values) // dims[0]
    out = []
    for r in range(dims[0]):
        out.append(indent + "{")
        out.extend(emit_values(values[r * step:(r + 1) * step], dims[1:], ctype, indent + "    "))
        out.append(indent + "},")
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    src = sys.argv[1] if len(sys.argv) > 1 else "/work/shared/codec-tables/g729a-tables.txt"
    out_dir = sys.argv[2] if len(sys.argv) > 2 else here
    tables = parse(src)

    hdr = [
        "// Generated by codec/gen_tables.py from the ITU-T G.729 numeric tables; do not edit.",
        "#pragma once",
        "",
        "namespace kestrona::codec {",
        "",
    ]
    cpp = [
        "// Generated by codec/gen_tables.py from the ITU-T G.729 numeric tables; do not edit.",
        '#include "codec/tables.h"',
        "",
        "// clang-format off",
        "namespace kestrona::codec {",
        "",
    ]
    for src_name, cname, ctype, dims, comment in TABLES:
        values = tables[src_name]
        count = 1
        for d in dims:
            count *= d
        if count != len(values):
            raise SystemExit(f"{src_name}: {len(values)} values, layout wants {count}")
        decl = f"const {ctype} {cname}" + "".join(f"[{d}]" for d in dims)
        hdr.append(f"// {comment}")
        hdr.append(f"extern {decl};")
        cpp.append(f"{decl} = {{")
        cpp.extend(emit_values(values, dims, ctype, "    "))
        cpp.append("};")
        cpp.append("")
    # Derived: the energy (dB) that a frame's gain indices leave in the code
    # gain predictor's memory, so that coding needs no logarithm. Python's
    # log10 is the C library's, so the values are those the codec computed.
    ga = [float(v) for v in tables["gbk1"]]
    gb = [float(v) for v in tables["gbk2"]]
    energy = [repr(20.0 * math.log10(ga[2 * i + 1] + gb[2 * j + 1]))
              for i in range(8) for j in range(16)]
    decl = "const double kGainCodeEnergyDb[8][16]"
    hdr.append("// 20*log10(kGainCbA[i][1] + kGainCbB[j][1]): the quantised energy of GA row i")
    hdr.append("// with GB row j, as the code gain predictor remembers it")
    hdr.append(f"extern {decl};")
    cpp.append(f"{decl} = {{")
    cpp.extend(emit_values(energy, [8, 16], "double", "    "))
    cpp.append("};")
    cpp.append("")
    hdr += ["", "}  // namespace kestrona::codec", ""]
    cpp += ["}  // namespace kestrona::codec", "// clang-format on", ""]
    with open(os.path.join(out_dir, "tables.h"), "w", encoding="ascii") as f:
        f.write("\n".join(hdr))
    with open(os.path.join(out_dir, "tables.cpp"), "w", encoding="ascii") as f:
        f.write("\n".join(cpp))


if __name__ == "__main__":
    main()
