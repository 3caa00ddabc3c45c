#!/usr/bin/env python3
# Writes AdResources.cpp: the key map and the character-set map in the "AHT3" format.
# Run it after changing the tables below.
import os
import struct
# ---- key map
pairs = []
names1 = {0x08:"VK_BACK",0x09:"VK_TAB",0x0C:"VK_CLEAR",0x0D:"VK_RETURN",0x13:"VK_PAUSE",0x14:"VK_CAPITAL",0x1B:"VK_ESCAPE",
 0x20:"VK_SPACE",0x21:"VK_PRIOR",0x22:"VK_NEXT",0x23:"VK_END",0x24:"VK_HOME",0x25:"VK_LEFT",0x26:"VK_UP",0x27:"VK_RIGHT",
 0x28:"VK_DOWN",0x29:"VK_SELECT",0x2B:"VK_EXECUTE",0x2C:"VK_SNAPSHOT",0x2D:"VK_INSERT",0x2E:"VK_DELETE",0x2F:"VK_HELP"}
for i in range(10): names1[0x30+i] = f"VK_{i}"
for i in range(26): names1[0x41+i] = "VK_" + chr(65+i)
for i in range(10): names1[0x60+i] = f"VK_NUMPAD{i}"
names1.update({0x6A:"VK_MULTIPLY",0x6B:"VK_ADD",0x6C:"VK_SEPARATOR",0x6D:"VK_SUBTRACT",0x6E:"VK_DECIMAL",0x6F:"VK_DIVIDE"})
for i in range(24): names1[0x70+i] = f"VK_F{i+1}"
names1.update({0x90:"VK_NUMLOCK",0x91:"VK_SCROLL"})
assert len(names1) == 100
for k in sorted(names1): pairs.append(("\\x%02X" % k, names1[k]))
p2 = [("VK_ADD","DEC_KP-k"),("VK_BACK","DEC_DEL"),("VK_DECIMAL","DEC_KP.k"),("VK_DIVIDE","DEC_PF2k"),("VK_DOWN","DEC_DOWNc"),
 ("VK_EXECUTE","DEC_KPEk"),("VK_F1","DEC_PF1k"),("VK_F2","DEC_PF2k"),("VK_F3","DEC_PF3k"),("VK_F4","DEC_PF4k"),("VK_F11","DEC_BS"),
 ("VK_F12","DEC_LF"),("VK_LEFT","DEC_LEFTc"),("VK_MULTIPLY","DEC_PF3k"),("VK_NUMLOCK","DEC_PF1k")]
p2 += [(f"VK_NUMPAD{i}", f"DEC_KP{i}k") for i in range(10)]
p2 += [("VK_RIGHT","DEC_RIGHTc"),("VK_SUBTRACT","DEC_PF4k"),("VK_UP","DEC_UPc"),("ctrl+VK_DECIMAL","DEC_KP,k"),
 ("ctrl+VK_SPACE","DEC_NULL"),("shift+VK_BACK","DEC_BS"),("shift+VK_EXECUTE","DEC_LF"),("shift+VK_RETURN","DEC_LF")]
assert len(p2) == 33
pairs += p2
p3 = [("DEC_BS","\\x08"),("DEC_DEL","\\x7F"),("DEC_LF","\\x0A"),("DEC_NULL","\\x00")]
for name, L in [("UP","A"),("DOWN","B"),("RIGHT","C"),("LEFT","D")]:
    p3 += [(f"DEC_{name}0","\\e"+L),(f"DEC_{name}1","\\e["+L),(f"DEC_{name}2","\\eO"+L)]
for n, L in [(1,"P"),(2,"Q"),(3,"R"),(4,"S")]:
    p3 += [(f"DEC_PF{n}3","\\e"+L),(f"DEC_PF{n}4","\\e"+L),(f"DEC_PF{n}5","\\eO"+L),(f"DEC_PF{n}6","\\eO"+L)]
letters = {"0":"p","1":"q","2":"r","3":"s","4":"t","5":"u","6":"v","7":"w","8":"x","9":"y","-":"m",",":"l",".":"n","E":"M"}
for k, L in letters.items():
    own = "\\x0D" if k == "E" else k
    p3 += [(f"DEC_KP{k}3",own),(f"DEC_KP{k}4","\\e?"+L),(f"DEC_KP{k}5",own),(f"DEC_KP{k}6","\\eO"+L)]
assert len(p3) == 88, len(p3)
pairs += p3
assert len(pairs) == 221
km = bytearray(b"AHT3") + struct.pack("<I", len(pairs))
for k, v in pairs:
    kb, vb = k.encode(), v.encode(); assert len(kb) <= 63 and len(vb) <= 63
    km += bytes([len(kb)]) + kb + bytes([len(vb)]) + vb
km += b"AHT3"
# ---- character sets
ld = {0x5F:0x20,0x60:0x04,0x61:0xB1,0x62:0x10,0x63:0x17,0x64:0x11,0x65:0x1F,0x66:0xF8,0x67:0xF1,0x68:0x1B,0x69:0x19,0x6A:0xD9,
 0x6B:0xBF,0x6C:0xDA,0x6D:0xC0,0x6E:0xC5,0x6F:0xC4,0x70:0xC4,0x71:0xC4,0x72:0xC4,0x73:0xC4,0x74:0xC3,0x75:0xB4,0x76:0xC1,
 0x77:0xC2,0x78:0xB3,0x79:0xF3,0x7A:0xF2,0x7B:0xE3,0x7C:0xD8,0x7D:0x9C,0x7E:0xFA}
ents = []
for c in range(0x20,0x7F): ents.append(("VT100-USASCII","<Default>",c,c))
for c in range(0x80,0x100): ents.append(("VT100-USASCII","Terminal",c,c))
for c in range(0x20,0x7F): ents.append(("VT100-UK","<Default>",c,0xA3 if c==0x23 else c))
for c in range(0x20,0x7F): ents.append(("VT100-linedraw","Terminal",c,ld.get(c,c)))
for c in range(0x20,0x7F): ents.append(("VT100-ROM1","<Default>",c,c))
for c in range(0x20,0x7F): ents.append(("VT100-ROM2","Terminal",c,ld.get(c,c)))
assert len(ents) == 603
cs = bytearray(b"AHT3") + struct.pack("<I", len(ents))
for s, f, c, g in ents:
    cs += bytes([len(s)]) + s.encode() + bytes([len(f)]) + f.encode() + bytes([c, g])
cs += b"AHT3"
def arr(name, data):
    lines = [f"const uint8_t {name}[{len(data)}] = {{"]
    for i in range(0, len(data), 16):
        lines.append("    " + ", ".join("0x%02X" % b for b in data[i:i+16]) + ",")
    lines.append("};")
    return "\n".join(lines)
out = f'''// The terminal's two table resources, "ADVT100KEYMAP" (221 key-map pairs) and
// "ADVT100CHARSET" (603 character-set entries), stored in the "AHT3" format that the
// maps' loaders read: the magic, a little-endian record count, the records (each
// string a length byte and its characters), and the magic again.
//
// Key map, in order: key codes "\\x08".."\\x91" to key names (VK_BACK..VK_SCROLL); key
// names, with an optional "shift+"/"ctrl+"/"alt+", to VT100 key names whose last
// letter "c" (cursor key) or "k" (keypad key) is replaced by the mode digit; VT100 key
// names with their digit to the text sent ("\\e" is ESC, "\\xHH" a byte).
// Character sets: VT100-USASCII, VT100-UK ("#" drawn as the pound sign), VT100-linedraw,
// VT100-ROM1 and VT100-ROM2, each character with the font it is drawn in ("<Default>"
// is the terminal's own font) and its glyph code there.
#include "AdResources.h"

namespace {{

{arr("KeyMapData", km)}

{arr("CharSetData", cs)}

}}  // namespace

std::span<const uint8_t> FindTerminalResource(std::string_view Name) {{
  auto Same = [](std::string_view A, std::string_view B) {{
    if (A.size() != B.size()) return false;
    for (std::size_t I = 0; I < A.size(); ++I) {{
      char X = A[I], Y = B[I];
      if (X >= 'a' && X <= 'z') X = static_cast<char>(X - 32);
      if (Y >= 'a' && Y <= 'z') Y = static_cast<char>(Y - 32);
      if (X != Y) return false;
    }}
    return true;
  }};
  if (Same(Name, "ADVT100KEYMAP")) return {{KeyMapData, sizeof KeyMapData}};
  if (Same(Name, "ADVT100CHARSET")) return {{CharSetData, sizeof CharSetData}};
  return {{}};
}}
'''
open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "AdResources.cpp"), "w").write(out)
print("key map", len(km), "bytes; character sets", len(cs), "bytes")
