# replace: every match of a word in a 20 MB text, many times shorter
import sys

text = open(sys.argv[1], encoding="utf-8").read()
for _ in range(8):
    s = text.replace("the", "a")
print(len(text), len(s))
