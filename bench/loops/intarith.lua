-- Integer arithmetic: 10^8 passes of a small body (see intarith.rill).
local s, i = 0, 0
for _ = 1, 10000 do
  i = i + 1
  local j = 0
  for _ = 1, 10000 do
    j = j + 1
    s = s // 2 + i * j - j // 3
  end
end
print(string.format("%d", s))
