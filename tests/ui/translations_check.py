#!/usr/bin/env python3
"""Every text of the sources has a finished English translation.

Collects the texts afresh with lupdate (into a scratch copy of the .ts file,
so the sources are never touched) and fails on any text without a finished
translation, on a translation that still holds Chinese, and on one that lost
a placeholder (%1, %d, %s) or a menu accelerator (&).
usage: translations_check.py LUPDATE CMAKE PROJECT_SCRIPT PROJECT_CMAKE TS_FILE
(the build's lupdate project description, turned into lupdate's project
file by the CMake script that the build uses for it)
"""
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

lupdate, cmake, project_script, project_cmake, ts = sys.argv[1:6]
han = re.compile("[\u3000-\u303f\u4e00-\u9fff\uff00-\uffef]")
holder = re.compile(r"%(\d|d|s)")

with tempfile.TemporaryDirectory() as scratch:
    copy = scratch + "/check.ts"
    project = scratch + "/project.json"
    subprocess.run([cmake, "-DIN_FILE=" + project_cmake, "-DOUT_FILE=" + project, "-P",
                    project_script], check=True)
    shutil.copy(ts, copy)
    run = subprocess.run([lupdate, "-project", project, "-locations", "none", "-no-obsolete",
                          "-ts", copy], capture_output=True, text=True)
    if run.returncode != 0:
        print(run.stdout, run.stderr)
        sys.exit("lupdate failed")
    root = ET.parse(copy).getroot()

problems = []
count = 0
for context in root.iter("context"):
    name = context.findtext("name")
    for message in context.iter("message"):
        count += 1
        source = message.findtext("source") or ""
        node = message.find("translation")
        text = (node.text or "") if node is not None else ""
        where = "%s: %r" % (name, source)
        if node is None or node.get("type") in ("unfinished", "vanished", "obsolete") or not text:
            problems.append("no English text for " + where)
            continue
        if han.search(text):
            problems.append("Chinese left in the English text of " + where)
        if sorted(holder.findall(text)) != sorted(holder.findall(source)):
            problems.append("placeholders differ in " + where)
        if text.count("&") != source.count("&"):
            problems.append("accelerator lost in " + where)

print("%d texts checked" % count)
for p in problems:
    print(p)
sys.exit(1 if problems or count == 0 else 0)
