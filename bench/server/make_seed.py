#!/usr/bin/env python3
"""The sample repository with COUNT more tables in FOUNDATION, named T0000001 ... (a seed file
for timing resolutions by name at scale). Usage: make_seed.py COUNT OUT.json"""
import json
import os
import sys

count, out = int(sys.argv[1]), sys.argv[2]
here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "..", "..", "examples", "sample_repository.json")) as f:
    seed = json.load(f)
for i in range(1, count + 1):
    seed["objects"].append({"repository": "A0000001", "type": "PhysicalTable",
                            "id": "A0000001.B%07d" % i, "name": "T%07d" % i,
                            "attributes": {"Rows": str(i)}})
with open(out, "w") as f:
    json.dump(seed, f)
