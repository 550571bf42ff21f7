"""The README's first example, kept here so that CI type-checks it."""

import molvane

# Stream blocks lazily, edit them, write them back: untouched bytes stay as they were.
kept = []
for block in molvane.parse_sdf("examples/molecules.sdf"):
    if block.get("IC50") is not None:
        block["SEEN"] = "yes"
        kept.append(block)
molvane.write_sdf("potency.sdf", kept)

block = molvane.SDBlock(
    "aspirin\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n> <ID>\n42\n\n$$$$\n"
)
print(block.title)  # 'aspirin'
block.title = "acetylsalicylic acid"
print(str(block))  # the whole block, edited title included
