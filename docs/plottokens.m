% SPDX-License-Identifier: MIT
% Plots every token of a MAT-file written by ravlox into a PNG file, one
% panel per token, without a display (gnuplot draws it).
%   usage: octave-cli plottokens.m IN.mat OUT.png
1;

args = argv();
if numel(args) ~= 2
  fprintf(2, 'usage: octave-cli plottokens.m IN.mat OUT.png\n');
  exit(2);
end
[~, name, ext] = fileparts(args{1});
s = load(args{1});
ntok = double(s.TEOAE_TOK);
if ntok < 1
  fprintf(2, '%s holds no token\n', args{1});
  exit(1);
end

warning('off', 'all');   % gnuplot and Ghostscript notices
graphics_toolkit('gnuplot');
h = figure('visible', 'off', 'position', [0 0 900 170 * ntok + 80]);
t = (0:s.npts - 1) / s.rate * 1000;   % milliseconds
lim = 0;
for k = 1:ntok
  lim = max(lim, max(abs(s.(sprintf('tok%d', k)))));
end
lim = 1.05 * max(lim, 1);
colors = [0.00 0.45 0.74; 0.85 0.33 0.10; 0.47 0.67 0.19; 0.49 0.18 0.56];
for k = 1:ntok
  subplot(ntok, 1, k);
  plot(t, s.(sprintf('tok%d', k)), 'color', colors(mod(k - 1, 4) + 1, :), 'linewidth', 1);
  axis([0 t(end) -lim lim]);
  grid on;
  ylabel(sprintf('tok%d (counts)', k));
  if k == 1
    title(sprintf('%s%s: %d tokens of %d samples at %g Hz', name, ext, ntok, s.npts, s.rate));
  end
  if k == ntok
    xlabel('time (ms)');
  end
end
print(h, args{2}, '-dpngcairo', '-r90');
