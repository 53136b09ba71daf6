# split: a 20 MB text cut at every space, the pieces joined again
import sys

text = open(sys.argv[1], encoding="utf-8").read()
for _ in range(2):
    pieces = text.split(" ")
    joined = "".join(pieces)
print(len(pieces), len(joined))
