-- Digit sums by repeated division (see digits.rill).
local s, t = 0, 0
for i = 1, 3000000 do
  local x = i
  repeat
    local q = x // 10
    s = s + x - q * 10
    x = q
  until x == 0
  x = i
  repeat
    local q = x // 7
    t = t + x - q * 7
    x = q
  until x == 0
end
print(string.format("%d %d", s, t))
