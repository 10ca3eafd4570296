{
  "patcher": {
    "fileversion": 1,
    "rect": [100.0, 100.0, 640.0, 420.0],
    "boxes": [
      { "box": { "id": "obj-1", "maxclass": "comment", "text": "prismlux: lists in become DMX frames; frames received come out as lists",
                 "numinlets": 1, "numoutlets": 0, "patching_rect": [20.0, 10.0, 460.0, 20.0] } },
      { "box": { "id": "obj-2", "maxclass": "message", "text": "0 1 0.5 0.25 0",
                 "numinlets": 2, "numoutlets": 1, "outlettype": [""], "patching_rect": [20.0, 50.0, 110.0, 22.0] } },
      { "box": { "id": "obj-3", "maxclass": "message", "text": "0 0 0 0 0",
                 "numinlets": 2, "numoutlets": 1, "outlettype": [""], "patching_rect": [150.0, 50.0, 80.0, 22.0] } },
      { "box": { "id": "obj-4", "maxclass": "comment", "text": "element 0 is the start code (keep it 0), elements 1-512 the slots; 0..scale becomes 0..255",
                 "numinlets": 1, "numoutlets": 0, "patching_rect": [250.0, 50.0, 370.0, 33.0] } },
      { "box": { "id": "obj-5", "maxclass": "newobj", "text": "prismlux 1",
                 "numinlets": 1, "numoutlets": 1, "outlettype": [""], "patching_rect": [20.0, 110.0, 80.0, 22.0] } },
      { "box": { "id": "obj-6", "maxclass": "comment", "text": "arguments: scale (default 1), serial number of the interface (default: the first one that opens)",
                 "numinlets": 1, "numoutlets": 0, "patching_rect": [120.0, 110.0, 500.0, 20.0] } },
      { "box": { "id": "obj-7", "maxclass": "newobj", "text": "print received",
                 "numinlets": 1, "numoutlets": 0, "patching_rect": [20.0, 170.0, 90.0, 22.0] } },
      { "box": { "id": "obj-8", "maxclass": "comment", "text": "frames received by the interface, as floats: byte x scale / 255",
                 "numinlets": 1, "numoutlets": 0, "patching_rect": [120.0, 170.0, 400.0, 20.0] } }
    ],
    "lines": [
      { "patchline": { "source": ["obj-2", 0], "destination": ["obj-5", 0] } },
      { "patchline": { "source": ["obj-3", 0], "destination": ["obj-5", 0] } },
      { "patchline": { "source": ["obj-5", 0], "destination": ["obj-7", 0] } }
    ]
  }
}
