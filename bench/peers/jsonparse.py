import json
import sys

with open(sys.argv[1], encoding="utf-8") as f:
    doc = json.load(f)
print(len(doc["items"]))
