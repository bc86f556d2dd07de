-- If-blocks whose tests follow a short repeating pattern (see blocks.rill).
-- Sums wrap as 32-bit integers, as rill's do.
local function wrap(x) return (x + 2147483648) % 4294967296 - 2147483648 end
local c, a, b, s = 0, 0, 0, 0
for _ = 1, 10000000 do
  c = c + 1
  if c > 4 then c = 0 end
  if c < 3 then a = wrap(a + c) end
  if c >= 3 then b = wrap(b + 2) end
  if c == 1 then s = wrap(wrap(s + a) - b) end
end
print(string.format("%d %d %d", a, b, s))
