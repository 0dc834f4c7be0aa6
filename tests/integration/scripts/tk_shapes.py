# A Tk window of fixed content for the application twin runs: a label, an entry holding text
# (its cursor does not blink), a canvas with filled shapes, a line, an arc and text, a button.
# Usage: tk_shapes.py TITLE +X+Y
import sys
import tkinter as tk

root = tk.Tk()
root.title(sys.argv[1])
root.geometry(sys.argv[2])
tk.Label(root, text="Labels, an entry and a canvas", font="fixed").pack(anchor="w")
entry = tk.Entry(root, font="fixed", insertofftime=0)
entry.insert(0, "typed text")
entry.pack(fill="x")
canvas = tk.Canvas(root, width=300, height=160, background="white", highlightthickness=0)
canvas.create_rectangle(10, 10, 110, 70, fill="red", outline="black")
canvas.create_oval(130, 10, 230, 80, fill="blue")
canvas.create_line(10, 150, 290, 90, width=3, fill="darkgreen")
canvas.create_polygon(240, 20, 290, 20, 265, 70, fill="orange")
canvas.create_text(150, 120, text="canvas text", font="fixed")
canvas.create_arc(180, 90, 280, 150, start=0, extent=120, fill="purple")
canvas.pack()
tk.Button(root, text="A button", font="fixed").pack()
root.mainloop()
