-- If-blocks whose tests no pattern predicts (see jumpy.rill).
local x, a, b = 1, 0, 0
for _ = 1, 10000000 do
  x = x * 1103 + 12345
  x = x - x // 65536 * 65536
  local h = x // 4096
  if h < 8 then a = a + h end
  if h >= 8 then b = b + 1 end
  local t = x // 256
  if t // 2 * 2 == t then a = a - 1 end
end
print(string.format("%d %d %d", x, a, b))
