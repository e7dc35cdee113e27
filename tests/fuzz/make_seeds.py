#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into corpus/<target>/.

The seeds are committed; this script documents how each was made and can
make them again (it overwrites only files of the names it writes). Inputs
that fuzzing kept as regression seeds (crash-*, and any other name) are
left alone.
"""
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def packet_constants():
    """The packet layout's constants, read from the one header that defines them."""
    path = os.path.join(HERE, "..", "..", "src", "ipc", "packet.h")
    with open(path) as f:
        text = f.read()
    found = dict(re.findall(r"constexpr uint32_t (k\w+) = (0x[0-9A-Fa-f]+|\d+)u?;", text))
    return {name: int(value, 0) for name, value in found.items()}


PACKET = packet_constants()
HEADER = PACKET["kHeaderSize"]
MAX_PACKET = PACKET["kMaxSize"]
IDENTITY_PACKET = PACKET["kIdentity"]
STOP_PACKET = PACKET["kStop"]


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- parent_packets: [cut count][cut sizes...][stream] ----------------------

def packet(target, ptype, payload=b"", length=None, reserved=0):
    if length is None:
        length = HEADER + len(payload)
    return struct.pack("<IIII", length & 0xFFFFFFFF, target, ptype, reserved) + payload


def stream(data, cuts=()):
    return bytes([len(cuts)]) + bytes(cuts) + data


def parent_seeds():
    t = "parent_packets"
    identity = packet(0, IDENTITY_PACKET, b"vantord\0" + b"7.1.2\0" + b"Background:true")
    write(t, "identity", stream(identity))
    write(t, "identity-two-fields", stream(packet(0, IDENTITY_PACKET, b"vantord\x007.1.2")))
    write(t, "identity-empty", stream(packet(0, IDENTITY_PACKET)))
    write(t, "identity-utf8-cut", stream(packet(0, IDENTITY_PACKET, b"vantord\xee\0" + b"7.1\xf0\x9f")))
    write(t, "stop", stream(packet(0, STOP_PACKET)))
    write(t, "request-slot0", stream(packet(0x00400000, 0x10, b"hello")))
    write(t, "request-slot1", stream(packet(0x00512345, 0x100000, b"\x01\x02\x03\x04")))
    write(t, "request-slot3", stream(packet(0x0FF00000, 3, b"x" * 100)))
    write(t, "request-no-ioctl", stream(packet(0x00600000, 3, b"nobody")))
    write(t, "request-closed", stream(packet(0x00700000, 3, b"closed")))
    write(t, "request-unrouted", stream(packet(0x12300000, 3, b"nobody")))
    write(t, "request-failing", stream(packet(0x00400000, 3, b"fail", reserved=0xEE000000)))
    req = packet(0x00400000, 0x10, b"split across receives")
    for cut in (1, 4, 15, 16, 17):
        write(t, "split-at-%d" % cut, stream(req, (cut,)))
    write(t, "split-bytewise", stream(req, (1,) * 15))
    write(t, "two-in-one", stream(packet(0x00400000, 1, b"a") + packet(0x00500000, 2, b"bb")))
    write(t, "identity-request-stop",
          stream(identity + packet(0x00400000, 1, b"req") + packet(0, STOP_PACKET), (20, 40)))
    for name, length in (("bad-length-0", 0), ("bad-length-15", HEADER - 1),
                         ("bad-length-65537", MAX_PACKET + 1), ("bad-length-max", 0xFFFFFFFF)):
        write(t, name, stream(packet(0x00400000, 1, b"zz", length=length)
                              + packet(0x00400000, 1, b"after")))
    write(t, "length-65536", stream(packet(0x00400000, 1, bytes(MAX_PACKET - HEADER)), (200, 128)))
    write(t, "header-only", stream(packet(0x00400000, 1)))
    write(t, "short-tail", stream(packet(0x00400000, 1, b"ok") + b"\x20\x00\x00"))


# --- xml_config: [mode][small limit][text] ----------------------------------
# Modes: 0 core.xml, 1 product.xml, 2 core.xml.pending, 3 an update text.

def xml(mode, text, limit=3):
    if isinstance(text, str):
        text = text.encode("utf-8")
    return bytes([mode, limit - 1]) + text


def nested(depth, inner="", name="a"):
    return "<%s>" % name * depth + inner + "</%s>" % name * depth


def xml_seeds():
    t = "xml_config"
    expected = os.path.join(HERE, "..", "config", "expected")
    for base in ("core_no_plugins.xml", "core_with_plugins.xml"):
        with open(os.path.join(expected, base), "rb") as f:
            doc = f.read()
        stem = base[:-4]
        write(t, "core-" + stem, xml(0, doc))
        write(t, "pending-" + stem, xml(2, doc))
        write(t, "pending-cut-" + stem, xml(2, doc[: len(doc) // 2]))
        write(t, "core-crlf-" + stem, xml(0, doc.replace(b"\n", b"\r\n")))
    write(t, "core-missing-orvel", xml(0, "<?xml ?>\n<Other/>\n"))
    write(t, "core-odd-values", xml(0, '<Orvel><Memory Throttling=" -0x1"/><Modules><Module>'
          '<Plugin ID="+262144" LogLevel="101"/><Plugin ID="2147483648" LogLevel="5"/>'
          '<Plugin ID="16711680" LogLevel="-1" LogLevelDefault="100"/>'
          '<Plugin ID=" 327680junk" LogLevel="-2"/></Module></Modules></Orvel>'))
    write(t, "product", xml(1, '<?xml version="1.0" ?>\n<Products>\n'
          '    <Product Family="Vantora" Version="9.9.9" />\n</Products>\n'))
    write(t, "product-legacy", xml(1, '<?xml version="1.0" encoding="ISO-8859-1"?>'
          '<P><Product Family="Caf\xe9" Version="9.9\xe9"/></P>'.encode("latin-1")))
    write(t, "product-demo", xml(1, '<Product><Product Family="Vantora demo" '
          'Version="21.09.7.0-demo"/></Product>'))
    write(t, "update", xml(3, '<Update Delta="1"><Modules><Module>'
          '<Plugin ID="262144" LogLevel="50"/><Plugin ID="393216" LogLevel="-1"/>'
          '</Module></Modules></Update>'))
    write(t, "update-core", xml(3, '<Update Delta="1" Prefix="relay"><Modules><Module>'
          '<Plugin ID="-2147483648" LogLevel="25"/></Module></Modules></Update>'))
    write(t, "update-no-delta", xml(3, '<Update><Modules><Module><Plugin ID="262144" '
          'LogLevel="50"/></Module></Modules></Update>'))
    # The nesting limit and the constructs a guard and TinyXML read alike.
    write(t, "depth-100", xml(3, nested(100), 8))
    write(t, "depth-101", xml(3, nested(101), 8))
    write(t, "depth-3-limit-2", xml(3, nested(3), 2))
    write(t, "depth-comment", xml(3, nested(3, "<!-- <a><a><a> -->"), 3))
    write(t, "depth-cdata", xml(3, nested(3, "<![CDATA[<a><a>]]>"), 3))
    write(t, "depth-attribute", xml(3, '<a x="<b><b>" y=\'>\'><a/></a>', 2))
    write(t, "depth-doctype", xml(3, '<!DOCTYPE a [<!ELEMENT a ANY>]>' + nested(2), 2))
    write(t, "depth-declaration", xml(3, '<?xml version="1.0" encoding="UTF-8"?>' + nested(3), 3))
    write(t, "depth-legacy", xml(3, '<?xml version="1.0" encoding="ISO-8859-1"?>'
          + nested(2, "\xe9<a/>"), 2))
    write(t, "depth-bom", xml(3, "\ufeff" + nested(2, "\u00e9\u4e2d<b/>"), 2))
    write(t, "depth-unknown", xml(3, nested(2, "<!foo <a>><?pi <a>?>"), 2))
    write(t, "depth-entities", xml(3, nested(2, "&lt;a&gt;&#60;b&#x3e;&amp;"), 2))
    write(t, "depth-text-lt", xml(3, "<a>x < y<b/></a>", 2))
    write(t, "depth-end-space", xml(3, "<a><b></b ></a  >", 2))
    write(t, "depth-top-level", xml(3, "<!-- one --><a/><!-- two --><b><c/></b>", 2))
    write(t, "depth-cut-comment", xml(3, "<a/><!-- cut", 2))
    write(t, "empty", xml(3, ""))


# --- event_entry: [setup][plugins...][events...] -----------------------------
# setup: bit 0 console is a terminal, bit 1 throttled, bits 2-3 plugins - 1.
# plugin: id choice (0-199 pick from the target's table), traits (1 no
# delivery, 2 wants Read, 4 no Write, 8 no IOCTL, 0x10 one class mask of its
# own), mask choice, 16 script bytes (bit 0 keep; bits 2-4 the action:
# 1 release during the call, 2 release an earlier block, 3 wrong releases,
# 4 raise from inside, 5 slow; 0x20 fail, 0x40 error code).

def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def plugin(id_choice=0, traits=0, mask_choice=0, script=b""):
    return bytes([id_choice, traits, mask_choice]) + (script + bytes(16))[:16]


def payload(data):
    if data is None:
        return b"\x00"
    assert len(data) <= 223
    return bytes([24 + len(data)]) + data


def long_payload(units, fill):
    return b"\xf8" + u16(units) + bytes([fill])


# Provider choices: 0-2 a plugin slot, 3 the core, 4 kind 255, 5 0x0fff1234.
def log_message(text, level=50, provider=0):
    return bytes([0, provider, 0, level & 0xFF]) + payload(text)


def log_query(provider=0):
    return bytes([1, provider])


def video(key, data, provider=0, class_bit=0):
    return bytes([2, provider, class_bit, 0, key]) + u32(7) + payload(data)


def config(text, provider=0):
    return bytes([3, provider]) + payload(text)


def class_event(bit, flags, data, provider=0):
    return bytes([4, provider, bit]) + u32(flags) + payload(data)


def release_unknown(which, provider=0):
    return bytes([5, provider, which])


def parent_send(data, owned=True, provider=0):
    return bytes([6, provider, len(data)]) + data + bytes([1 if owned else 0])


def read_request(bit, flags, context, data):
    return bytes([7, bit]) + u32(flags) + bytes([context]) + payload(data)


def close_request(context):
    return bytes([8, context])


def reply(context, data, provider=0):
    return bytes([9, provider, context]) + payload(data)


def raw(provider, etype, flags, level, key, context, data):
    return (bytes([10]) + u32(provider) + u32(etype) + u32(flags) + u32(level)
            + bytes([key, context]) + payload(data))


STOP, MEMORY, THROTTLE, MINUTE = b"\x0b", b"\x0c", b"\x0e", b"\x0f"


def store(kind, level, current=True):
    return b"\x0d" + u16(kind) + bytes([level + 1, 1 if current else 0])


def setup(terminal=True, throttled=False, plugins=1):
    return bytes([(1 if terminal else 0) | (2 if throttled else 0) | ((plugins - 1) << 2)])


def event_seeds():
    t = "event_entry"
    one = setup() + plugin()
    write(t, "class-event", one + class_event(3, 0, b"payload"))
    write(t, "log-message", one + log_message(b"hello from a plugin", 50)
          + log_message(b"routine", 0) + log_message(b"critical\0tail", 100, provider=3))
    write(t, "log-query", one + log_query() + log_query(3) + log_query(4) + log_query(5))
    write(t, "log-odd-kinds", one + store(255, 10) + store(299, 5, False) + store(4, -1)
          + log_message(b"kind 255", 5, provider=4) + log_query(4) + log_message(b"x", 0, provider=5))
    write(t, "video", one + video(0, b"no key frame") + video(1, b"key frame" * 4)
          + video(0, b"next frame") + video(2, b"odd key byte"))
    write(t, "video-throttled", setup(throttled=True) + plugin() + video(1, b"key")
          + video(0, b"frame") + THROTTLE + video(1, b"key again"))
    write(t, "config-update", setup(plugins=2) + plugin(0) + plugin(1)
          + config(b'<Update Delta="1"><Modules><Module><Plugin ID="262144" LogLevel="50"/>'
                   b'</Module></Modules></Update>'))
    write(t, "memory-state", one + MEMORY + THROTTLE + MEMORY)
    write(t, "keep-and-release", setup(plugins=2) + plugin(0, script=b"\x01\x01\x08")
          + plugin(1, script=b"\x01\x09\x04") + class_event(0, 0, b"first")
          + class_event(1, 0, b"second") + class_event(2, 0, b"third"))
    write(t, "release-during-call", one[:1] + plugin(0, script=b"\x05\x05")
          + class_event(3, 0, b"given back at once") + class_event(3, 0, b"again"))
    write(t, "wrong-releases", one[:1] + plugin(0, script=b"\x0d\x0c")
          + class_event(3, 0, b"a") + class_event(3, 0, b"b"))
    write(t, "raise-inside", one[:1] + plugin(0, script=b"\x10\x01\x50\x11\x01\x20")
          + class_event(3, 0, b"a") + class_event(6, 2, b"log text"))
    write(t, "slow-and-failing", one[:1] + plugin(0, script=b"\x14\x34\x60")
          + log_message(b"x", 30, provider=3) + class_event(3, 0, b"a") + class_event(3, 0, b"b")
          + class_event(3, 0, b"c") + MINUTE + class_event(3, 0, b"d"))
    write(t, "unknown-release", one + release_unknown(0) + release_unknown(1) + release_unknown(2))
    write(t, "parent-send", one + parent_send(b"to the parent") + parent_send(b"") +
          parent_send(b"unowned", owned=False))
    reader = plugin(0, traits=2)
    write(t, "read-request", setup() + reader + read_request(3, 0, 1, b"\x12request"))
    write(t, "read-request-replies", setup(plugins=2) + reader + plugin(1, traits=2)
          + read_request(3, 0, 2, b"\x02two replies") + read_request(3, 0, 3, None)
          + class_event(3, 0, b"meanwhile"))
    write(t, "close-request", setup() + reader + close_request(1) + read_request(3, 0, 1, b"\x01x")
          + close_request(1) + reply(1, b"not a request thread"))
    write(t, "long-payloads", one + bytes([4, 0, 3]) + u32(0) + long_payload(0xFFFF, 0x41)
          + bytes([2, 0, 0, 0, 1]) + u32(0) + long_payload(0x1000, 0x00)
          + bytes([3, 0]) + long_payload(0, 0x3c))
    write(t, "long-log", one + bytes([0, 0, 0, 60]) + long_payload(4096, 0x42)
          + bytes([3, 0]) + long_payload(256, 0x3c))
    write(t, "raw-records", one + raw(0x00040000, 0xFFFFFFFF, 0xFFFFFFFF, -5, 9, 1, b"raw")
          + raw(0x12345678, 0x800, 0x10, 0, 0, 0, None)
          + raw(0x00040000, 0x1 | 0x40, 0x1000003, 200, 1, 0, b"frame and log"))
    write(t, "null-records", one + b"\x11" + b"\x11")
    write(t, "stop-early", one + class_event(3, 0, b"before") + STOP + class_event(3, 0, b"after")
          + log_message(b"still printed", 60))
    write(t, "no-delivery", setup(plugins=3) + plugin(0, traits=1) + plugin(1, traits=4)
          + plugin(2, traits=8 | 0x10) + b"\x02\x03" + class_event(3, 0, b"x")
          + config(b"<a/>"))
    write(t, "four-plugins-same-id", setup(plugins=4) + plugin(0, script=b"\x01")
          + plugin(6, script=b"\x01") + plugin(0, script=b"\x09") + plugin(3)
          + class_event(3, 0, b"shared") + class_event(3, 0, b"shared too"))


if __name__ == "__main__":
    parent_seeds()
    if "--all" in sys.argv or len(sys.argv) == 1:
        for fn in ("xml_seeds", "event_seeds"):
            if fn in globals():
                globals()[fn]()
