-- Prime counting by trial division (see primes.rill).
local c, d = 0, 0
for n = 2, 1000000 do
  local p = 1
  d = 2
  while d * d <= n do
    if n % d == 0 then p = 0; break end
    d = d + 1
  end
  c = c + p
end
print(string.format("%d %d", c, d))
